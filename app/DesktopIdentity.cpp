#include "app/DesktopIdentity.h"

#include <QGuiApplication>
#include <QIcon>

namespace {
// The id the desktop entry, the icon and the metadata are installed under (see data/).
const QString kDesktopId = QStringLiteral("io.github.vorlax.Vorlax");
} // namespace

void applyDesktopIdentity() {
    // The picture is the installed scalable icon itself, compiled in; Qt's SVG plugin draws it.
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/%1.svg").arg(kDesktopId)));
    QGuiApplication::setDesktopFileName(kDesktopId);
}
