// Draws the program's pictures: the application icon and the About box's 128x32 bitmap in
// the sixteen standard colours. Run once; the output is committed under res/.
//
//   vantrel_draw_resources OUTPUT_FOLDER

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

// The sixteen colours of the standard palette.
const QRgb kPalette[16] = {
    qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
    qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
    qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255),
};
enum Colour {
    Black = 0,
    Navy = 4,
    Teal = 6,
    Silver = 7,
    Gray = 8,
    Lime = 10,
    Yellow = 11,
    White = 15
};

QColor C(Colour c) {
    return QColor(kPalette[c]);
}

// The instrument: a case with a display showing a trace, and an arrow bringing new firmware.
QImage DrawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    QLinearGradient body(0, 14, 0, 60);
    body.setColorAt(0, QColor(70, 90, 120));
    body.setColorAt(1, QColor(30, 40, 60));
    p.setPen(QPen(QColor(15, 20, 30), 1.5));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(4, 16, 56, 44), 6, 6);

    p.setPen(QPen(QColor(10, 40, 20), 1));
    p.setBrush(QColor(20, 60, 30));
    p.drawRoundedRect(QRectF(9, 22, 34, 24), 2, 2);
    QPainterPath trace;
    trace.moveTo(11, 38);
    trace.lineTo(16, 38);
    trace.lineTo(19, 28);
    trace.lineTo(23, 42);
    trace.lineTo(27, 31);
    trace.lineTo(30, 38);
    trace.lineTo(41, 38);
    p.setPen(QPen(QColor(120, 255, 120), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(trace);

    p.setPen(QPen(QColor(15, 20, 30), 1));
    p.setBrush(QColor(200, 200, 200));
    p.drawEllipse(QPointF(52, 29), 4, 4);
    p.drawEllipse(QPointF(52, 41), 4, 4);
    p.setBrush(QColor(230, 60, 40));
    p.drawRect(QRectF(9, 50, 6, 5));
    p.setBrush(QColor(60, 200, 60));
    p.drawRect(QRectF(18, 50, 6, 5));

    QPainterPath arrow;
    arrow.moveTo(40, 2);
    arrow.lineTo(52, 2);
    arrow.lineTo(52, 12);
    arrow.lineTo(59, 12);
    arrow.lineTo(46, 26);
    arrow.lineTo(33, 12);
    arrow.lineTo(40, 12);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(120, 80, 0), 1.2));
    p.setBrush(QColor(255, 200, 30));
    p.drawPath(arrow);
    return image;
}

// The About bitmap: the instrument in small and the program's name, drawn without
// smoothing so that every pixel is one of the sixteen colours.
QImage DrawAboutBitmap() {
    QImage image(128, 32, QImage::Format_RGB32);
    image.fill(C(Navy));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setRenderHint(QPainter::TextAntialiasing, false);

    p.setPen(C(Silver));
    p.setBrush(C(Gray));
    p.drawRect(3, 6, 26, 20);
    p.setPen(C(Black));
    p.setBrush(C(Black));
    p.drawRect(6, 9, 14, 10);
    p.setPen(C(Lime));
    const QPoint trace[] = {{7, 15}, {9, 15}, {11, 11}, {13, 17}, {15, 13}, {16, 15}, {19, 15}};
    p.drawPolyline(trace, 7);
    p.setPen(C(Black));
    p.setBrush(C(Silver));
    p.drawRect(23, 10, 3, 3);
    p.drawRect(23, 17, 3, 3);
    p.setPen(C(Yellow));
    p.setBrush(C(Yellow));
    const QPoint arrow[] = {{12, 0}, {16, 0}, {16, 3}, {19, 3}, {14, 7}, {9, 3}, {12, 3}};
    p.drawPolygon(arrow, 7);

    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(19);
    font.setBold(true);
    font.setStyleStrategy(QFont::NoAntialias);
    p.setFont(font);
    p.setPen(C(Teal));
    p.drawText(QRect(35, 2, 92, 28), Qt::AlignCenter, QStringLiteral("VANTREL"));
    p.setPen(C(White));
    p.drawText(QRect(34, 1, 92, 28), Qt::AlignCenter, QStringLiteral("VANTREL"));
    p.end();

    QList<QRgb> table(std::begin(kPalette), std::end(kPalette));
    return image.convertToFormat(QImage::Format_Indexed8, table, Qt::ThresholdDither);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    // 48x48 is the size every icon theme falls back on; desktops scale from the larger one.
    bool ok = DrawIcon(256).save(folder + "/vantrel.png");
    ok = DrawIcon(48).save(folder + "/vantrel-48.png") && ok;
    ok = DrawAboutBitmap().save(folder + "/about.png") && ok;
    if (!ok) {
        std::fprintf(stderr, "cannot write the pictures to %s\n", argv[1]);
        return 1;
    }
    return 0;
}
