#pragma once

#include <QIcon>
#include <QPixmap>

// The application's icon (resource 128 of the original program).
QIcon AppIcon();
// The About box's picture, 128 by 32 pixels in sixteen colours.
QPixmap AboutBitmap();
