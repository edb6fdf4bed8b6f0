#include "ui_resources.h"

// The pictures are compiled into the static library; this reference keeps the linker from
// dropping them. (The macro must stand outside any namespace.)
static void LoadPictures() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(vantrel);
        return true;
    }();
    (void)loaded;
}

QIcon AppIcon() {
    LoadPictures();
    return QIcon(QStringLiteral(":/vantrel/vantrel.png"));
}

QPixmap AboutBitmap() {
    LoadPictures();
    return QPixmap(QStringLiteral(":/vantrel/about.png"));
}
