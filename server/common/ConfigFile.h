#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// The server's configuration file: "key = value" lines whose keys are the long names of the
// command-line options, so every option is a key without a table of its own. Blank lines and lines
// starting with '#' are skipped; a value is the rest of its line, trimmed. A flag takes "true" or
// "false". Anything else stops the start with the file, the line and the reason.
class ConfigFile {
public:
    struct Setting {
        QString key;
        QString value;
        int line = 0;
    };

    // options: what the file may set; repeatable: the keys that may be given more than once (the
    // options the command line takes several times).
    bool load(const QString& path, const QList<QCommandLineOption>& options, const QStringList& repeatable,
        QString* error);
    bool parse(const QByteArray& text, const QList<QCommandLineOption>& options,
        const QStringList& repeatable, QString* error);

    // The file's settings as command-line arguments ("--key=value", "--flag"), leaving out every
    // key the command line sets itself: the command line wins, also over repeated keys.
    QStringList arguments(const std::function<bool(const QString& key)>& setOnCommandLine);

    // "FILE:LINE: " for the setting an error message is about ("bad --port x"), so a value that
    // only the server's checks refuse is still traced to its line; empty when no setting in force is
    // named.
    QString whereNamed(const QString& message) const;

    const QList<Setting>& settings() const { return m_settings; }

private:
    QString m_path;
    QList<Setting> m_settings;
    QStringList m_flags;
    QStringList m_overridden; // keys the command line set itself
};
