#pragma once

#include <QDialog>

// The About box: the program's picture, its name and version, one more line. OK or Esc
// closes it.
class CVantrelAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CVantrelAboutDlg(QWidget* parent = nullptr);

    // The About box's two lines of text.
    static QString VersionLine();
    static QString SecondLine();

protected:
    void paintEvent(QPaintEvent* event) override;
};
