// What the toolkit's forms have beyond a Qt window: the close action, the window state and the
// position mode as the program's code names them, and the four form events (create, destroy,
// show, close) as handler slots that components on a form can chain into.
//
// A form is a widget that is a window. Left and top are the window frame's position; width and
// height are the client area's size.
#pragma once

#include <QRect>
#include <QWidget>

#include <functional>

class QCloseEvent;
class QShowEvent;

// What a form does when it is closed (the close handler may change it).
enum class TCloseAction { caNone = 0, caHide = 1, caFree = 2, caMinimize = 3 };
enum class TWindowState { wsNormal = 0, wsMinimized = 1, wsMaximized = 2 };
enum class TPosition {
    poDesigned,
    poDefault,
    poDefaultPosOnly,
    poDefaultSizeOnly,
    poScreenCenter,
    poDesktopCenter,
    poMainFormCenter,
    poOwnerFormCenter
};

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TCloseEvent = std::function<void(QObject* Sender, TCloseAction& Action)>;

// The event slots of a form. Whoever raises an event calls the slot, when one is set.
class TFormEvents {
public:
    virtual ~TFormEvents() = default;
    TNotifyEvent OnCreate;
    TNotifyEvent OnDestroy;
    TNotifyEvent OnShow;
    TCloseEvent OnClose;
};

bool IsForm(const QObject* object); // a widget that is a window

TWindowState FormWindowState(const QWidget* form);
// Applies at once to a visible window and when it is shown to a hidden one.
void SetFormWindowState(QWidget* form, TWindowState state);
// Kept with the form; poDesigned until set. TForm centres itself for the centring modes.
TPosition FormPosition(const QWidget* form);
void SetFormPosition(QWidget* form, TPosition position);
// Left, top (the frame's position), width and height (the client area's size).
QRect FormBoundsRect(const QWidget* form);
void SetFormBounds(QWidget* form, const QRect& bounds);

// A form that raises its events through TFormEvents: OnShow when it is shown, OnClose when it is
// asked to close (with caHide to start with), and OnCreate and OnDestroy through DoCreate and
// DoDestroy, which a derived form calls at the end of its constructor and at the start of its
// destructor (the handlers may use the derived form's members).
class TForm : public QWidget, public TFormEvents {
    Q_OBJECT
public:
    explicit TForm(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);
    ~TForm() override;

    void DoCreate();
    void DoDestroy(); // once; the destructor calls it when the derived form did not

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool FDestroyed = false;
};
