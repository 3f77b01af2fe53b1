#include "toolkit/widgets/Forms.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>

namespace {
const char* const kPositionProperty = "tapestrixPosition";
}

bool IsForm(const QObject* object) {
    const auto* widget = qobject_cast<const QWidget*>(object);
    return widget && widget->isWindow();
}

TWindowState FormWindowState(const QWidget* form) {
    const Qt::WindowStates state = form->windowState();
    if (state & Qt::WindowMinimized)
        return TWindowState::wsMinimized;
    if (state & (Qt::WindowMaximized | Qt::WindowFullScreen))
        return TWindowState::wsMaximized;
    return TWindowState::wsNormal;
}

void SetFormWindowState(QWidget* form, TWindowState state) {
    Qt::WindowStates flags =
        form->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen);
    if (state == TWindowState::wsMinimized)
        flags |= Qt::WindowMinimized;
    else if (state == TWindowState::wsMaximized)
        flags |= Qt::WindowMaximized;
    form->setWindowState(flags);
}

TPosition FormPosition(const QWidget* form) {
    const QVariant value = form->property(kPositionProperty);
    return value.isValid() ? TPosition(value.toInt()) : TPosition::poDesigned;
}

void SetFormPosition(QWidget* form, TPosition position) {
    form->setProperty(kPositionProperty, int(position));
}

QRect FormBoundsRect(const QWidget* form) {
    return QRect(form->pos(), form->size());
}

void SetFormBounds(QWidget* form, const QRect& bounds) {
    form->move(bounds.topLeft());
    form->resize(bounds.size());
}

TForm::TForm(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

TForm::~TForm() {
    DoDestroy();
}

void TForm::DoCreate() {
    if (OnCreate)
        OnCreate(this);
}

void TForm::DoDestroy() {
    if (FDestroyed)
        return;
    FDestroyed = true;
    if (OnDestroy)
        OnDestroy(this);
}

void TForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window the window system brings back (from minimised) was visible all along.
    if (event->spontaneous())
        return;
    const TPosition position = FormPosition(this);
    if (position == TPosition::poScreenCenter || position == TPosition::poDesktopCenter) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - frameGeometry().center() + pos());
    } else if ((position == TPosition::poMainFormCenter ||
                position == TPosition::poOwnerFormCenter) &&
               parentWidget()) {
        const QWidget* owner = parentWidget()->window();
        move(owner->frameGeometry().center() - frameGeometry().center() + pos());
    }
    if (OnShow)
        OnShow(this);
}

void TForm::closeEvent(QCloseEvent* event) {
    TCloseAction action = TCloseAction::caHide;
    if (OnClose)
        OnClose(this, action);
    switch (action) {
    case TCloseAction::caNone:
        event->ignore();
        break;
    case TCloseAction::caHide:
        event->accept(); // Qt hides the window
        break;
    case TCloseAction::caFree:
        event->accept();
        deleteLater();
        break;
    case TCloseAction::caMinimize:
        event->ignore();
        showMinimized();
        break;
    }
}
