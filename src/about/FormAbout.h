// The About dialog: the program's picture, name, version, authorship and terms of use, and three
// links (the maker's mail address, home page and the program's page) opened through ShellOpen.
// A fixed 385 x 300 dialog laid out in FormAbout.ui at 96 pixels per inch; OK (Enter or Esc)
// closes it with the result OK.
#pragma once

#include "ui_FormAbout.h"

#include <QDialog>

class TfrmAbout : public QDialog, public Ui::TfrmAbout {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* parent = nullptr);

    // Shows the dialog modally, centred on the screen; the result is QDialog::Accepted (OK) or
    // Rejected (closed by its title bar).
    int ShowModal();

    void Image1Click(QObject* Sender);
    void Label4Click(QObject* Sender);
    void Label5Click(QObject* Sender);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
};

// The one About dialog of the program, created at start (null until then).
extern TfrmAbout* frmAbout;

// Shows frmAbout, or a dialog of its own when there is none, and returns its result.
int ShowAboutBox(QWidget* parent = nullptr);
