#pragma once
// The error every layer raises for a failure the user is shown: its text is the message exactly as
// the user reads it (the standard error box adds the closing full stop).

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>

class ProgramError : public std::runtime_error {
public:
    explicit ProgramError(const QString& message);
    QString message() const { return message_; }

private:
    QString message_;
};

// Runs f and returns the message of the error it raised, or an empty text when it raised none.
QString failureOf(const std::function<void()>& f);

// The platform's file errors: "Datei "<path>" kann nicht geöffnet werden. <reason>" and
// "Datei "<path>" kann nicht erstellt werden. <reason>", the path in the system's own notation.
QString fileOpenErrorMessage(const QString& path, const QString& reason);
QString fileCreateErrorMessage(const QString& path, const QString& reason);

// "'%s' ist kein gültiger Integerwert" with the offending text.
QString integerConversionMessage(const QString& text);

// Reads text as a signed 32-bit integer: an optional "+" or "-" followed by decimal digits, or a
// hexadecimal number written "$1F", "0x1F" or "0X1F" (with an optional sign before it). No spaces.
// Empty text, anything else and values outside the 32-bit range give nothing.
std::optional<int32_t> parseInt32(const QString& text);

// parseInt32, raising the conversion error with the text when it fails.
int32_t toInt32OrThrow(const QString& text);
