#include "ConfigFile.h"

#include <QFile>
#include <QHash>
#include <QTextCodec>

#include <algorithm>

namespace {

// Far beyond any real configuration; a larger file is a mistake, not settings.
constexpr qint64 kMaxBytes = 1 << 20;

bool isKeyChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-');
}

} // namespace

bool ConfigFile::load(const QString& path, const QList<QCommandLineOption>& options,
    const QStringList& repeatable, QString* error)
{
    m_path = path;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the configuration file %1: %2").arg(path, f.errorString());
        return false;
    }
    const QByteArray text = f.read(kMaxBytes + 1);
    if (text.size() > kMaxBytes) {
        *error
            = QStringLiteral("%1: larger than %2 bytes, not a configuration file").arg(path).arg(kMaxBytes);
        return false;
    }
    return parse(text, options, repeatable, error);
}

bool ConfigFile::parse(const QByteArray& text, const QList<QCommandLineOption>& options,
    const QStringList& repeatable, QString* error)
{
    m_settings.clear();
    m_flags.clear();
    const QString name = m_path.isEmpty() ? QStringLiteral("configuration") : m_path;
    QHash<QString, bool> takesValue;
    for (const QCommandLineOption& o : options)
        for (const QString& n : o.names())
            takesValue.insert(n, !o.valueName().isEmpty());

    QTextCodec::ConverterState state;
    const QString all = QTextCodec::codecForName("UTF-8")->toUnicode(text.constData(), text.size(), &state);
    if (state.invalidChars > 0 || text.contains('\0')) {
        *error = QStringLiteral("%1: not UTF-8 text").arg(name);
        return false;
    }
    QHash<QString, int> firstLine;
    // A byte-order mark is what some editors start UTF-8 files with, not part of the first key.
    const QStringList lines = (all.startsWith(QChar(0xFEFF)) ? all.mid(1) : all).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNo = i + 1;
        const auto bad = [&](const QString& why) {
            *error = QStringLiteral("%1:%2: %3").arg(name).arg(lineNo).arg(why);
            m_settings.clear();
            return false;
        };
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            return bad(QStringLiteral("expected \"key = value\", not \"%1\"").arg(line.left(80)));
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key.isEmpty() || !key[0].isLower() || !std::all_of(key.begin(), key.end(), isKeyChar))
            return bad(
                QStringLiteral("\"%1\" is not a key (keys are option names such as port)").arg(key.left(80)));
        const auto known = takesValue.constFind(key);
        if (known == takesValue.constEnd())
            return bad(QStringLiteral("unknown key \"%1\"").arg(key));
        if (firstLine.contains(key) && !repeatable.contains(key))
            return bad(QStringLiteral("\"%1\" is set again (first on line %2)").arg(key).arg(firstLine[key]));
        firstLine.insert(key, lineNo);
        if (!*known) {
            if (value != QLatin1String("true") && value != QLatin1String("false"))
                return bad(QStringLiteral("\"%1\" takes true or false, not \"%2\"").arg(key, value.left(80)));
            m_flags << key;
        } else if (value.isEmpty()) {
            return bad(QStringLiteral("\"%1\" has no value").arg(key));
        }
        m_settings.append({ key, value, lineNo });
    }
    return true;
}

QStringList ConfigFile::arguments(const std::function<bool(const QString&)>& setOnCommandLine)
{
    QStringList args;
    m_overridden.clear();
    for (const Setting& s : m_settings) {
        if (setOnCommandLine(s.key)) {
            m_overridden << s.key;
            continue;
        }
        if (!m_flags.contains(s.key))
            args << QStringLiteral("--%1=%2").arg(s.key, s.value);
        else if (s.value == QLatin1String("true"))
            args << QStringLiteral("--") + s.key;
    }
    return args;
}

QString ConfigFile::whereNamed(const QString& message) const
{
    const Setting* best = nullptr;
    int bestAt = -1;
    for (const Setting& s : m_settings) {
        if (m_overridden.contains(s.key))
            continue;
        const QString flag = QStringLiteral("--") + s.key;
        for (int at = message.indexOf(flag); at >= 0; at = message.indexOf(flag, at + 1)) {
            const int end = at + flag.size();
            if (end < message.size() && isKeyChar(message[end]))
                continue; // "--janus" inside "--janus-admin-key"
            // The setting whose value the message quotes is the one to blame among repeated keys.
            const bool quoted = message.contains(s.value);
            if (!best || at < bestAt || (at == bestAt && quoted && !message.contains(best->value))) {
                best = &s;
                bestAt = at;
            }
            break;
        }
    }
    return best ? QStringLiteral("%1:%2: ").arg(m_path).arg(best->line) : QString();
}
