#include "app_state.h"

AppState appState;
HINSTANCE instanceHandle = nullptr;

AppState::~AppState()
{
    if (database != nullptr)
        sqlite3_close(database);
    database = nullptr;
}

void AppState::AttachMainWindow(HWND window) { mainWindow = window; }
