#include "components/FormSaver.h"

#include "platform/Screen.h"
#include "toolkit/SysUtils.h"
#include "toolkit/registry/Registry.h"
#include "toolkit/widgets/AppEvents.h"

#include <QPointer>
#include <QWidget>
#include <QtEndian>

QString GlobalRegistryPath = QStringLiteral("Software\\Halvern\\Form Saver");

namespace {

struct TPlacement {
    int16_t Left;
    int16_t Top;
    int16_t Width;
    int16_t Height;
    uint16_t State;
    uint16_t Visible;
};

void Put16(unsigned char* at, uint16_t value) {
    qToLittleEndian(value, at);
}
uint16_t Get16(const unsigned char* at) {
    return qFromLittleEndian<uint16_t>(at);
}

} // namespace

TFormSaver::TFormSaver(QObject* owner, const QString& name) : QObject(owner) {
    if (!IsForm(owner))
        throw Exception(QStringLiteral("TFormSaver has invalid owner"));
    setObjectName(name);
    FKeyName = name;
}

QWidget* TFormSaver::Form() const {
    QObject* owner = parent();
    return IsForm(owner) ? static_cast<QWidget*>(owner) : nullptr;
}

void TFormSaver::SetEnabled(bool value) {
    if (value == FEnabled)
        return;
    FEnabled = value;
    if (value) {
        if (QWidget* form = Form())
            FWasVisible = form->isVisible();
    }
}

QString TFormSaver::RegistryPath() const {
    if (FUseGlobalPath)
        FRegistryPath = GlobalRegistryPath;
    return FRegistryPath;
}

void TFormSaver::SetRegistryPath(const QString& value) {
    FRegistryPath = value;
    if (FUseGlobalPath)
        GlobalRegistryPath = value;
}

void TFormSaver::SetUseGlobalPath(bool value) {
    FUseGlobalPath = value;
    if (value)
        FRegistryPath = GlobalRegistryPath;
}

void TFormSaver::Loaded() {
    HookFormEvents();
}

void TFormSaver::HookFormEvents() {
    if (FEventsSet)
        throw Exception(QStringLiteral("TFormSaver: events are already set"));
    QWidget* form = Form();
    if (!form)
        return;
    if (auto* events = dynamic_cast<TFormEvents*>(form)) {
        FOldOnCreate = events->OnCreate;
        FOldOnDestroy = events->OnDestroy;
        FOldOnShow = events->OnShow;
        FOldOnClose = events->OnClose;
        // The handlers outlive nothing they use: without the saver they pass the event on.
        const QPointer<TFormSaver> self(this);
        events->OnCreate = [self, old = FOldOnCreate](QObject* sender) {
            if (self)
                self->FormCreate(sender);
            else if (old)
                old(sender);
        };
        events->OnDestroy = [self, old = FOldOnDestroy](QObject* sender) {
            if (self)
                self->FormDestroy(sender);
            else if (old)
                old(sender);
        };
        events->OnShow = [self, old = FOldOnShow](QObject* sender) {
            if (self)
                self->FormShow(sender);
            else if (old)
                old(sender);
        };
        events->OnClose = [self, old = FOldOnClose](QObject* sender, TCloseAction& action) {
            if (self)
                self->FormClose(sender, action);
            else if (old)
                old(sender, action);
        };
    }
    // A form without event slots raises its events through DoCreate and the others.
    FEventsSet = true;
}

void TFormSaver::FormCreate(QObject* sender) {
    if (FOldOnCreate)
        FOldOnCreate(sender);
    CreatePart();
}

void TFormSaver::FormDestroy(QObject* sender) {
    if (FOldOnDestroy)
        FOldOnDestroy(sender);
    DestroyPart();
}

void TFormSaver::FormShow(QObject* sender) {
    if (FOldOnShow)
        FOldOnShow(sender);
    FWasVisible = true;
}

void TFormSaver::FormClose(QObject* sender, TCloseAction& action) {
    if (FOldOnClose)
        FOldOnClose(sender, action);
    ClosePart(action);
}

void TFormSaver::DoCreate(const std::function<void()>& formHandler) {
    if (formHandler)
        formHandler();
    CreatePart();
}

void TFormSaver::DoDestroy(const std::function<void()>& formHandler) {
    if (formHandler)
        formHandler();
    DestroyPart();
}

void TFormSaver::DoShow(const std::function<void()>& formHandler) {
    if (formHandler)
        formHandler();
    FWasVisible = true;
}

void TFormSaver::DoClose(TCloseAction& action,
                         const std::function<void(TCloseAction&)>& formHandler) {
    if (formHandler)
        formHandler(action);
    ClosePart(action);
}

void TFormSaver::CreatePart() {
    if (!FEnabled)
        return;
    try {
        RestorePlacement();
    } catch (...) {
        // A placement that cannot be restored leaves the form as designed, without a message.
    }
}

void TFormSaver::DestroyPart() {
    if (FEnabled)
        SavePlacement();
}

void TFormSaver::ClosePart(TCloseAction action) {
    // Hidden or freed; no action and minimising leave the visibility as it was.
    if (action == TCloseAction::caHide || action == TCloseAction::caFree)
        FWasVisible = false;
}

QString TFormSaver::GetValueName() const {
    if (!FResolutionDependent)
        return FKeyName;
    const QSize screen = primaryScreenPixelSize();
    return FKeyName + QStringLiteral("_%1x%2").arg(screen.width()).arg(screen.height());
}

void TFormSaver::SavePlacement() {
    QWidget* form = Form();
    if (!form)
        return;
    const TWindowState state = FormWindowState(form);
    TPlacement record{kNotSaved, kNotSaved,       kNotSaved,
                      kNotSaved, uint16_t(state), uint16_t(FWasVisible ? 1 : 0)};
    if (state == TWindowState::wsNormal) {
        // Only the low 16 bits of each coordinate are kept.
        const QRect bounds = FormBoundsRect(form);
        record.Left = int16_t(bounds.left());
        record.Top = int16_t(bounds.top());
        record.Width = int16_t(bounds.width());
        record.Height = int16_t(bounds.height());
    }
    unsigned char bytes[kRecordSize];
    Put16(bytes + 0, uint16_t(record.Left));
    Put16(bytes + 2, uint16_t(record.Top));
    Put16(bytes + 4, uint16_t(record.Width));
    Put16(bytes + 6, uint16_t(record.Height));
    Put16(bytes + 8, record.State);
    Put16(bytes + 10, record.Visible);

    HKEY key = nullptr;
    QString failure;
    if (RegCreateKeyEx(FUserDependent ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, RegistryPath(),
                       KEY_WRITE, &key) != ERROR_SUCCESS) {
        failure = QStringLiteral("Failed to create key %1").arg(RegistryPath());
    } else {
        if (RegSetValueEx(key, GetValueName(), REG_BINARY, bytes, kRecordSize) != ERROR_SUCCESS)
            failure = QStringLiteral("Failed to set data for '%1'").arg(GetValueName());
        RegCloseKey(key);
    }
    if (failure.isEmpty()) {
        FSaveFailed = false;
        return;
    }
    // Reported once, not again at the next save that fails the same way (the end of the program
    // saves twice).
    const QString why = RegistryLastErrorText();
    if (!why.isEmpty())
        failure += QStringLiteral(": ") + why;
    if (!FSaveFailed)
        ApplicationShowExceptionMessage(failure);
    FSaveFailed = true;
}

void TFormSaver::RestorePlacement() {
    QWidget* form = Form();
    if (!form)
        return;
    HKEY key = nullptr;
    if (RegOpenKeyEx(FUserDependent ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, RegistryPath(),
                     KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    unsigned char bytes[kRecordSize];
    DWORD type = REG_NONE;
    DWORD size = kRecordSize;
    const LONG rc = RegQueryValueEx(key, GetValueName(), &type, bytes, &size);
    RegCloseKey(key);
    // Anything but a binary value of exactly the record's size is not a record.
    if (rc != ERROR_SUCCESS || type != REG_BINARY || size != kRecordSize)
        return;
    const TPlacement record{int16_t(Get16(bytes + 0)), int16_t(Get16(bytes + 2)),
                            int16_t(Get16(bytes + 4)), int16_t(Get16(bytes + 6)),
                            Get16(bytes + 8),          Get16(bytes + 10)};

    QRect bounds = FormBoundsRect(form);
    int left = bounds.left();
    int top = bounds.top();
    int right = left + bounds.width();
    int bottom = top + bounds.height();
    if (FSavePosition && record.Left != kNotSaved && record.Top != kNotSaved) {
        SetFormPosition(form, TPosition::poDesigned);
        left = record.Left;
        top = record.Top;
    }
    if (FSaveSize && record.Width != kNotSaved && record.Height != kNotSaved) {
        if (FormPosition(form) == TPosition::poDefault)
            SetFormPosition(form, TPosition::poDesigned);
        right = left + record.Width;
        bottom = top + record.Height;
    } else {
        right = left + form->width();
        bottom = top + form->height();
    }
    if (FSavePosition || FSaveSize)
        SetFormBounds(form, QRect(QPoint(left, top), QSize(right - left, bottom - top)));
    if (FSaveState && record.State <= uint16_t(TWindowState::wsMaximized))
        SetFormWindowState(form, TWindowState(record.State));
    if (FSaveVisibilty)
        form->setVisible(record.Visible != 0);
}
