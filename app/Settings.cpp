#include "app/Settings.h"

#include "common/ProgramError.h"

const std::array<const char*, kSettingsFieldCount> kSettingsFieldNames = {
    "Edit1",  "Edit4",  "Edit5",  "Edit6",  "Edit7", "Edit8",  "Edit10", "Edit11", "Edit12",
    "Edit13", "Edit14", "Edit16", "Edit17", "Edit9", "Edit15", "Edit18", "Edit19", "Edit20"};

const std::array<const char*, kSettingsFieldCount> kSettingsDefaults = {
    "c:\\", "c:\\", "Vorlax-User", "484", "483",  "400", "488", "487", "483",
    "484",  "500",  "487",         "488", "2000", "501", "502", "501", "502"};

const QString kFolderLineBreakMessage =
    QStringLiteral("This folder's name holds a line break. Each setting is kept on one line of "
                   "\"Vorlax.ini\", so this folder cannot be used: please choose another one.");
const QString kSettingLineBreakMessage =
    QStringLiteral("A setting holds a line break. Each setting is kept on one line, so "
                   "\"Vorlax.ini\" was not written.");

bool holdsLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

namespace {

constexpr std::array<GeometryValue, kSettingsGeometryCount> kGeometryOrder = {
    GeometryValue::Width, GeometryValue::Height, GeometryValue::Top, GeometryValue::Left};

// The port fields in the order "Switch Ports" sets them.
constexpr std::array<const char*, kSwitchPortsFieldCount> kSwitchPortsOrder = {
    "Edit6",  "Edit7",  "Edit8",  "Edit10", "Edit11", "Edit12", "Edit13",
    "Edit14", "Edit16", "Edit17", "Edit15", "Edit18", "Edit19", "Edit20"};

// Local and remote download server: the only row whose local and remote defaults differ, so two
// copies need one of them exchanged before a file can pass.
constexpr char kLocalDownloadField[] = "Edit8";
constexpr char kRemoteDownloadField[] = "Edit14";

const char* defaultOf(const QString& field) {
    for (int i = 0; i < kSettingsFieldCount; ++i) {
        if (field == QLatin1String(kSettingsFieldNames[i]))
            return kSettingsDefaults[i];
    }
    return "";
}

// The text a list raises when read past its end.
QString listIndexMessage(int index) {
    return QStringLiteral("Listenindex überschreitet das Maximum (%1)").arg(index);
}

const QString& lineAt(const QStringList& lines, int index) {
    if (index >= lines.size())
        throw ProgramError(listIndexMessage(index));
    return lines[index];
}

} // namespace

void applySettingsLines(const QStringList& lines,
                        const std::function<void(int, const QString&)>& setField,
                        const std::function<void(GeometryValue, int)>& setGeometry) {
    for (int i = 0; i < kSettingsFieldCount; ++i)
        setField(i, lineAt(lines, i));
    for (int g = 0; g < kSettingsGeometryCount; ++g) {
        const int value = toInt32OrThrow(lineAt(lines, kSettingsFieldCount + g));
        setGeometry(kGeometryOrder[g], value);
    }
}

QStringList settingsLines(const std::array<QString, kSettingsFieldCount>& fields, int width,
                          int height, int top, int left) {
    QStringList lines;
    lines.reserve(kSettingsLineCount);
    for (const QString& field : fields) {
        if (holdsLineBreak(field))
            throw ProgramError(kSettingLineBreakMessage);
        lines.append(field);
    }
    for (int value : {width, height, top, left})
        lines.append(QString::number(value));
    return lines;
}

std::array<PortFieldValue, kSwitchPortsFieldCount> switchPortsValues(bool ticked) {
    std::array<PortFieldValue, kSwitchPortsFieldCount> values{};
    for (int i = 0; i < kSwitchPortsFieldCount; ++i) {
        const QString field = QLatin1String(kSwitchPortsOrder[i]);
        const char* text = defaultOf(field);
        if (!ticked && field == QLatin1String(kLocalDownloadField))
            text = defaultOf(QLatin1String(kRemoteDownloadField));
        else if (!ticked && field == QLatin1String(kRemoteDownloadField))
            text = defaultOf(QLatin1String(kLocalDownloadField));
        values[i] = {kSwitchPortsOrder[i], text};
    }
    return values;
}
