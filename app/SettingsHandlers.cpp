// Reading and writing "Vorlax.ini" from and into the Options fields and the window geometry, and
// the "Switch Ports" check box.

#include "app/MainForm.h"

#include "app/Settings.h"
#include "common/LineFile.h"

#include <QCheckBox>
#include <QLineEdit>

void TForm1::readSettingsFile() {
    const QStringList lines = readLineFile(settingsPath());
    const auto fields = settingsFields();
    applySettingsLines(
        lines, [&](int index, const QString& text) { fields[index]->setText(text); },
        [this](GeometryValue which, int value) {
            switch (which) {
            case GeometryValue::Width:
                resize(value, height());
                break;
            case GeometryValue::Height:
                resize(width(), value);
                break;
            case GeometryValue::Top:
                move(x(), value);
                break;
            case GeometryValue::Left:
                move(value, y());
                break;
            }
        });
}

void TForm1::writeSettingsFile() {
    std::array<QString, kSettingsFieldCount> texts;
    const auto fields = settingsFields();
    for (int i = 0; i < kSettingsFieldCount; ++i)
        texts[i] = fields[i]->text();
    writeLineFile(settingsPath(), settingsLines(texts, width(), height(), y(), x()));
}

void TForm1::CheckBox1Click() {
    for (const PortFieldValue& value : switchPortsValues(CheckBox1->isChecked()))
        findChild<QLineEdit*>(QString::fromLatin1(value.field))
            ->setText(QString::fromLatin1(value.text));
}
