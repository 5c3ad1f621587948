#pragma once
// The settings file "Vorlax.ini": 22 lines, no keys. Lines 1..18 are the texts of the option
// fields in the order of kSettingsFieldNames, lines 19..22 the main window's width, height, top and
// left as decimal integers. The line's position alone says what it holds.

#include <QString>
#include <QStringList>

#include <array>
#include <functional>

inline constexpr char kSettingsFileName[] = "Vorlax.ini";
inline constexpr int kSettingsFieldCount = 18;
inline constexpr int kSettingsGeometryCount = 4;
inline constexpr int kSettingsLineCount = kSettingsFieldCount + kSettingsGeometryCount;
inline constexpr int kSwitchPortsFieldCount = 14;

// Main window geometry before a settings file has been read.
inline constexpr int kDefaultWindowWidth = 811;
inline constexpr int kDefaultWindowHeight = 659;
inline constexpr int kDefaultWindowTop = 89;
inline constexpr int kDefaultWindowLeft = 132;

// Field names of lines 1..18 and their defaults, index = line number - 1.
extern const std::array<const char*, kSettingsFieldCount> kSettingsFieldNames;
extern const std::array<const char*, kSettingsFieldCount> kSettingsDefaults;

// Lines 19..22 in this order.
enum class GeometryValue { Width, Height, Top, Left };

// Applies the lines in order: lines 1..18 through setField(zero-based index, text), lines 19..22
// converted to integers through setGeometry, each applied at once. A missing line stops with
// "Listenindex überschreitet das Maximum (n)" (n = zero-based index of the missing line), a
// geometry line that is no integer with the conversion error; what came before stays applied.
// Lines after the 22nd are ignored.
void applySettingsLines(const QStringList& lines,
                        const std::function<void(int, const QString&)>& setField,
                        const std::function<void(GeometryValue, int)>& setGeometry);

// Each setting is one line of the file, so a text holding a line break cannot be kept: a folder
// whose name holds one is refused where it is chosen, and a file would be refused whole.
bool holdsLineBreak(const QString& text);
extern const QString kFolderLineBreakMessage;
extern const QString kSettingLineBreakMessage;

// The 22 lines of the file for the field texts (in kSettingsFieldNames order) and the geometry.
// Throws ProgramError(kSettingLineBreakMessage) when a field text holds a line break.
QStringList settingsLines(const std::array<QString, kSettingsFieldCount>& fields, int width,
                          int height, int top, int left);

// "Switch Ports": the fixed texts of the fourteen port fields, in the order they are set. Ticked
// gives the defaults; unticked the defaults with the two download ports exchanged.
struct PortFieldValue {
    const char* field;
    const char* text;
};
std::array<PortFieldValue, kSwitchPortsFieldCount> switchPortsValues(bool ticked);
