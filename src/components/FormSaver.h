// TFormSaver: a component on a form that keeps the form's position, size, window state and
// visibility in the registry from one run to the next, as one 12-byte binary value:
//
//   offset 0 Left, 2 Top, 4 Width, 6 Height  signed 16 bits, little-endian; -9999 when the form
//                                            was not in the normal state (geometry not saved)
//   offset 8 State                           0 normal, 1 minimised, 2 maximised
//   offset 10 Visible                        1 visible, 0 hidden
//
// under HKEY_CURRENT_USER (HKEY_LOCAL_MACHINE when not UserDependent), key RegistryPath, value
// GetValueName(). A record that cannot be saved is reported through the application's error
// display (once, until a save succeeds again) and nothing else happens; one that cannot be read
// is silent. A stored value that is not binary or not exactly 12 bytes is ignored, so the form
// keeps its designed placement.
//
// The form tells the saver when its design has been set up by calling Loaded(), where a form
// resource would; the saver then chains itself into the form's create, destroy, show and close
// events. A form with event slots (TFormEvents, e.g. TForm) gets its handlers chained; a form
// that raises its events itself calls DoCreate, DoDestroy, DoShow and DoClose with its own
// handler, which runs first, as a chained handler would.
#pragma once

#include "toolkit/widgets/Forms.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

class QWidget;

// The path every saver with UseGlobalPath shares.
extern QString GlobalRegistryPath;

class TFormSaver : public QObject {
    Q_OBJECT
public:
    // owner must be a form, else Exception "TFormSaver has invalid owner". KeyName starts as the
    // component's name at this moment: name when given, otherwise empty (a form sets the object
    // name afterwards, as a form resource does).
    explicit TFormSaver(QObject* owner, const QString& name = QString());

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    bool SavePosition() const { return FSavePosition; }
    void SetSavePosition(bool value) { FSavePosition = value; }
    bool SaveSize() const { return FSaveSize; }
    void SetSaveSize(bool value) { FSaveSize = value; }
    bool SaveState() const { return FSaveState; }
    void SetSaveState(bool value) { FSaveState = value; }
    bool SaveVisibilty() const { return FSaveVisibilty; }
    void SetSaveVisibilty(bool value) { FSaveVisibilty = value; }
    bool ResolutionDependent() const { return FResolutionDependent; }
    void SetResolutionDependent(bool value) { FResolutionDependent = value; }
    bool UserDependent() const { return FUserDependent; }
    void SetUserDependent(bool value) { FUserDependent = value; }
    // With UseGlobalPath, reading takes GlobalRegistryPath over and writing sets it too, which
    // moves every saver that uses it.
    QString RegistryPath() const;
    void SetRegistryPath(const QString& value);
    QString KeyName() const { return FKeyName; }
    void SetKeyName(const QString& value) { FKeyName = value; }
    bool UseGlobalPath() const { return FUseGlobalPath; }
    void SetUseGlobalPath(bool value);

    // The form's design has been set up: hooks the events.
    void Loaded();
    // Chains the saver's handlers into the form's events. A second call raises Exception
    // "TFormSaver: events are already set".
    void HookFormEvents();

    void SavePlacement(); // whatever Enabled says; a failure is reported, never raised
    void RestorePlacement();
    // KeyName, with "_<width>x<height>" of the primary screen when ResolutionDependent.
    QString GetValueName() const;

    // The saver's part of each event, after the form's own handler (when given).
    void DoCreate(const std::function<void()>& formHandler = {});
    void DoDestroy(const std::function<void()>& formHandler = {});
    void DoShow(const std::function<void()>& formHandler = {});
    void DoClose(TCloseAction& action, const std::function<void(TCloseAction&)>& formHandler = {});

    // The visibility the next record stores.
    bool WasVisible() const { return FWasVisible; }

    static constexpr int16_t kNotSaved = -9999;
    static constexpr int kRecordSize = 12;

private:
    QWidget* Form() const; // the owner when it is a form
    void FormCreate(QObject* sender);
    void FormDestroy(QObject* sender);
    void FormShow(QObject* sender);
    void FormClose(QObject* sender, TCloseAction& action);
    void CreatePart();
    void DestroyPart();
    void ClosePart(TCloseAction action);

    bool FEnabled = true;
    bool FSavePosition = true;
    bool FSaveSize = false;
    bool FSaveState = false;
    bool FSaveVisibilty = false;
    bool FResolutionDependent = false;
    bool FUserDependent = true;
    mutable QString FRegistryPath = QStringLiteral("Software\\Halvern\\FormSaverData");
    QString FKeyName;
    bool FUseGlobalPath = false;

    bool FWasVisible = false;
    bool FEventsSet = false;
    bool FSaveFailed = false; // the last save failed and was reported
    TNotifyEvent FOldOnCreate;
    TNotifyEvent FOldOnDestroy;
    TNotifyEvent FOldOnShow;
    TCloseEvent FOldOnClose;
};
