// Reading and writing "Vorlax.ini" from and into the Options fields and the window geometry, and
// the "Switch Ports" check box.

#include "app/MainForm.h"

#include "app/Settings.h"
#include "common/DesktopPlatform.h"
#include "common/LineFile.h"

#include <QCheckBox>
#include <QLineEdit>

#include <utility>

void TForm1::readSettingsFile() {
    const QStringList lines = readLineFile(settingsPath());
    const auto fields = settingsFields();
    applySettingsLines(
        lines, [&](int index, const QString& text) { fields[index]->setText(text); },
        [this](GeometryValue which, int value) {
            const QSize outer = frameGeometry().size();
            switch (which) {
            case GeometryValue::Width:
                setOuterSize(value, outer.height());
                break;
            case GeometryValue::Height:
                setOuterSize(outer.width(), value);
                break;
            case GeometryValue::Top:
                settingsPosition_.setY(value);
                move(x(), value);
                break;
            case GeometryValue::Left:
                settingsPosition_.setX(value);
                move(value, y());
                break;
            }
        });
}

// Width and height in the file are the outer size, frame included, as are top and left (the
// position of a window is that of its frame already). Where the platform does not tell where the
// window is (Wayland), the position lines keep what the file said: the position reported there
// (0, 0, or the negative offset of drawn-on decorations) would misplace the window on the next
// start under X11.
void TForm1::writeSettingsFile() {
    std::array<QString, kSettingsFieldCount> texts;
    const auto fields = settingsFields();
    for (int i = 0; i < kSettingsFieldCount; ++i)
        texts[i] = fields[i]->text();
    applyPendingOuterSize(); // a frame learnt since the last event counts already
    const QSize outer = frameGeometry().size();
    const QPoint at = windowPositionsKnown() ? pos() : settingsPosition_;
    writeLineFile(settingsPath(),
                  settingsLines(texts, outer.width(), outer.height(), at.y(), at.x()));
}

void TForm1::setOuterSize(int width, int height) {
    const QSize frame = frameGeometry().size() - size();
    resize(width - frame.width(), height - frame.height());
    // Until the window is on screen its frame is not known; then the size is corrected once.
    if (frame.isNull())
        pendingOuterSize_ = QSize(width, height);
    else
        pendingOuterSize_.reset();
}

void TForm1::applyPendingOuterSize() {
    if (!pendingOuterSize_ || !isVisible() || frameGeometry().size() == size())
        return;
    const QSize outer = *std::exchange(pendingOuterSize_, std::nullopt);
    setOuterSize(outer.width(), outer.height());
}

bool TForm1::refuseFolderWithLineBreak(const QString& folder) {
    if (!holdsLineBreak(folder))
        return false;
    dialogs_.showMessage(kFolderLineBreakMessage);
    return true;
}

void TForm1::CheckBox1Click() {
    for (const PortFieldValue& value : switchPortsValues(CheckBox1->isChecked()))
        findChild<QLineEdit*>(QString::fromLatin1(value.field))
            ->setText(QString::fromLatin1(value.text));
}
