#include "about_dlg.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>

#include "dialog_units.h"
#include "ui_resources.h"

namespace {

// Dialog template of the About box, in dialog units.
constexpr int kWidth = 135;
constexpr int kHeight = 81;
constexpr int kFontPoints = 8;

}  // namespace

CVantrelAboutDlg::CVantrelAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint) {
    setFont(TemplateFont(QStringLiteral("MS Sans Serif"), kFontPoints, false));
    const DialogUnits du(font());
    setFixedSize(du.X(kWidth), du.Y(kHeight));

    // A static bitmap control takes the size of its bitmap, in a sunken frame.
    auto* picture = new QLabel(this);
    const QPixmap bitmap = AboutBitmap();
    picture->setPixmap(bitmap);
    picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picture->setLineWidth(1);
    const QRect at = du.Rect(35, 7, 65, 17);
    picture->setGeometry(at.x(), at.y(), bitmap.width() + 2, bitmap.height() + 2);

    auto* version = new QLabel(VersionLine(), this);
    version->setAlignment(Qt::AlignCenter);
    version->setGeometry(du.Rect(25, 30, 85, 8));

    auto* second = new QLabel(SecondLine(), this);
    second->setAlignment(Qt::AlignCenter);
    second->setGeometry(du.Rect(29, 43, 78, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    ok->setGeometry(du.Rect(43, 58, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

QString CVantrelAboutDlg::VersionLine() {
    // The project's version, the one every program's --version prints.
    return QStringLiteral("Vantrel Versione " VANTREL_VERSION);
}

QString CVantrelAboutDlg::SecondLine() {
    return QStringLiteral("Firmware via RS-232");
}

void CVantrelAboutDlg::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    // The box has no caption bar: a raised frame marks its edge.
    QPainter painter(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.rect = rect();
    frame.lineWidth = 2;
    frame.state |= QStyle::State_Raised;
    style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);
}
