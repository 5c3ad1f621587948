#include "common/ProgramError.h"

#include <QDir>

ProgramError::ProgramError(const QString& message)
    : std::runtime_error(message.toStdString()), message_(message) {}

QString failureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const ProgramError& error) {
        return error.message();
    } catch (const std::exception& error) {
        return QString::fromLocal8Bit(error.what());
    }
    return {};
}

QString fileOpenErrorMessage(const QString& path, const QString& reason) {
    return QStringLiteral("Datei \"%1\" kann nicht geöffnet werden. %2")
        .arg(QDir::toNativeSeparators(path), reason);
}

QString fileCreateErrorMessage(const QString& path, const QString& reason) {
    return QStringLiteral("Datei \"%1\" kann nicht erstellt werden. %2")
        .arg(QDir::toNativeSeparators(path), reason);
}

QString integerConversionMessage(const QString& text) {
    return QStringLiteral("'%1' ist kein gültiger Integerwert").arg(text);
}

std::optional<int32_t> parseInt32(const QString& text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == u'0' &&
               (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit =
            QChar(text[i]).isDigit() && text[i].unicode() < 128
                ? text[i].unicode() - '0'
                : (base == 16 && text[i].toLower() >= u'a' && text[i].toLower() <= u'f'
                       ? text[i].toLower().unicode() - 'a' + 10
                       : -1);
        if (digit < 0)
            return std::nullopt;
        value = value * base + digit;
        if (value > int64_t(INT32_MAX) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

int32_t toInt32OrThrow(const QString& text) {
    if (auto v = parseInt32(text))
        return *v;
    throw ProgramError(integerConversionMessage(text));
}
