// One registry file on disk: loads parsed once per version of the file, atomic durable saves
// that keep a link to the file, the folder lock, and changes held in memory and written as one
// replacement of the file.
//
// A change is written under the lock on the file's folder: the file is read again as it is now,
// the changes are made on top (so values other processes wrote meanwhile stay), and the result
// replaces the file at once (new file, fsync, rename, fsync of the folder). Readers and a kill at
// any moment see the old or the new file, never a part of one or a mix of both. Changes that
// change nothing take neither the lock nor the disk. A damaged file is first copied aside to
// "<file>.corrupt".
#pragma once

#include "toolkit/registry/RegistryText.h"

#include <ctime>
#include <memory>
#include <sys/types.h>
#include <vector>

// One change to a file's content.
struct TRegFileEdit {
    enum class Kind {
        SetValue,    // Section, Name := Value
        DeleteValue, // Section, Name
        AddSection,  // Section (an empty subkey)
        DeleteTree,  // Section with everything below it; "" empties the file
    };
    Kind What = Kind::SetValue;
    QString Section;
    QString Name;
    TRegFileValue Value;

    void ApplyTo(TRegFileData& data) const;
};

// A file's content as it was read or written.
class TRegFileSnapshot {
public:
    TRegFileData Data;
    QByteArray Raw; // the bytes of the file

    TRegFileSnapshot() = default;
    ~TRegFileSnapshot();
    TRegFileSnapshot(const TRegFileSnapshot&) = delete;
    TRegFileSnapshot& operator=(const TRegFileSnapshot&) = delete;

private:
    friend class TRegFileCache;
    // Which version of the file this is. The file stays open so that its inode number cannot be
    // given to a newer file while this snapshot is kept.
    int FFd = -1;
    dev_t FDevice = 0;
    ino_t FInode = 0;
    off_t FSize = 0;
    timespec FModified{};
    timespec FChanged{};
};

// The file's content; a missing file is an empty one. The same version of a file is parsed only
// once: later loads find it by its identity (device, inode, size, times). Null (with a reason)
// when the file cannot be read or is not a regular file.
std::shared_ptr<const TRegFileSnapshot> LoadRegFile(const QString& path, QString* why);

// Where a write to path lands: path itself, or, when it is a symbolic link, the file at the end
// of its links.
QString RegFileTarget(const QString& path);

enum class TLinkPolicy {
    WriteTarget, // a link at path stays; its target is replaced
    ReplaceLink, // whatever is at path is replaced; a link there is never written through
};

// Replaces the file's content atomically and durably: a new file beside it is written, synced
// and renamed over it, then the folder is synced. The new file keeps the mode of the one it
// replaces (0600 when there is none). False (with a reason naming the file) when any step fails;
// the old file is then untouched and no new file is left behind.
bool SaveFileAtomically(const QString& path, const QByteArray& content, TLinkPolicy links,
                        QString* why);
// Makes a rename, a new file or a deletion in the folder durable.
void SyncFolder(const QString& dir);

enum class TRegCommit { Done, CannotRead, Locked, CannotWrite };

// Makes the changes to the file under the lock of lockDir, as the header comment describes.
// *result (when given) becomes the content now on disk.
TRegCommit CommitRegFileEdits(const QString& path, const QString& lockDir,
                              const std::vector<TRegFileEdit>& edits, QString* why,
                              std::shared_ptr<const TRegFileSnapshot>* result = nullptr);

// Changes to one file held in memory: reads see the file as it was loaded with the changes on
// top, and Commit writes them all as one replacement of the file.
class TRegFileBatch {
public:
    TRegFileBatch(const QString& path, const QString& lockDir);

    const QString& Path() const { return FPath; }
    const TRegFileData& View() const { return FView; }
    bool Pending() const { return !FEdits.empty(); }
    void Apply(const TRegFileEdit& edit);
    // Writes the held changes. Either way they are no longer held: after a failure the view is
    // the file as it is on disk.
    TRegCommit Commit(QString* why);

    bool WritableChecked = false; // the file was found writable once; later writes skip the check

private:
    QString FPath;
    QString FLockDir;
    TRegFileData FView;
    std::vector<TRegFileEdit> FEdits;
};

// How often files were parsed and written, for tests.
struct TRegFileStats {
    int Parses = 0;
    int Writes = 0;
};
TRegFileStats RegFileStats();
