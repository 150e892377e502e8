#pragma once

#include <QImage>

// The about box's logo: 320 x 240 pixels in the 16 standard colours (an indexed image).
QImage AboutLogo();
