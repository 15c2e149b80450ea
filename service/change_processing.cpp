#include "change_processing.h"

#include "destination.h"
#include "file_rows.h"
#include "folders.h"
#include "globals.h"
#include "log.h"
#include "password.h"
#include "service_state.h"
#include "text.h"

static const char* const changeListFrame = "***********************************************";

static void LogText(const std::string& text) { LogMessageA("%s", text.c_str()); }

static std::string AddedText(const FileRecord& record)
{
    return KindText(record.attributes) + " " + record.path + " was " + "Added";
}

static std::string MovedText(const FileRecord& record)
{
    return KindText(record.attributes) + " " + record.path + " was " + "moved/renamed from \r\n" + record.oldPath +
           "\r\nto " + record.path + "\r\n " +
           FormatString("file id %I64X, old parent ID  %I64X, PID i%I64X", record.selfId, record.oldParentId,
                        record.parentId);
}

static std::string ModifiedText(const FileRecord& record)
{
    return KindText(record.attributes) + " " + record.path + " was " + "modified";
}

static std::string GoneText(const FileRecord& record)
{
    return KindText(record.attributes) + " " + record.path + " was deleted\r\n";
}

namespace {

// Stores versions while the destination and the database take them.
class VersionStore {
public:
    VersionStore(NetworkDestination& destination, bool reachable) : destination_(destination), storing_(reachable) {}

    void Store(FileRecord& record)
    {
        if (!storing_ || !destination_.BackupFile(record))
            return;
        if (InsertFileRow(record))
            return;
        // A copy without a row would never be listed, restored or pruned. The
        // database refused the row even after waiting for its lock, so every
        // further copy of this folder would go the same way: the entries without
        // rows are marked again at the next pass.
        destination_.RemoveUnrecordedCopy(record);
        storing_ = false;
        LogMessageA("ProcessChanges() A row could not be added: the remaining copies of this folder are left to a "
                    "later pass");
    }

private:
    NetworkDestination& destination_;
    bool storing_;
};

}  // namespace

void ProcessChanges(const ScanList& found, KnownFileMap& current, KnownFileMap& known)
{
    current.clear();

    std::wstring destinationText, userText, passwordText;
    ReadRegistryValue(SettingsKey(), destinationValueName, destinationText);
    ReadRegistryValue(SettingsKey(), usernameValueName, userText);
    ReadRegistryValue(SettingsKey(), passwordValueName, passwordText);
    DecryptPassword(passwordText);

    NetworkDestination destination;
    LogMessageA("Logging in");
    destination.Connect(destinationText, userText, passwordText);
    LogMessageA("Log on complete");
    // Without a machine folder nothing is copied and no row is dropped: the
    // entries are marked again at the next pass.
    const bool reachable = destination.HasMachineFolder();
    if (!reachable)
        LogMessageA("ProcessChanges() The destination cannot be reached: copies and removals are left to a later pass");

    LogText(changeListFrame);
    LogText("Change List");
    LogText(changeListFrame);

    for (const FileRecord& record : found) {
        if (StopRequested())
            break;
        if (record.added)
            LogText(AddedText(record));
        current[IdentityOf(record)] = record;
    }

    for (const auto& entry : known) {
        if (StopRequested())
            break;
        if (current.find(entry.first) != current.end())
            continue;
        LogText(GoneText(entry.second));
        // Rows go only once what was stored for them is gone.
        if (reachable && destination.DeleteMirroredFile(entry.second))
            DeleteFileRows(entry.first.selfId, entry.first.volumeId);
    }

    VersionStore store(destination, reachable);
    for (const FileRecord& original : found) {
        if (StopRequested())
            break;
        FileRecord record = original;
        if (record.added) {
            LogText(AddedText(record));
            store.Store(record);
        }
        if (record.moved) {
            LogText(MovedText(record));
            store.Store(record);
        }
        if (record.modified) {
            LogText(ModifiedText(record));
            store.Store(record);
        }
    }

    LogText(changeListFrame);

    known = current;
    current.clear();

    destination.Disconnect();
}
