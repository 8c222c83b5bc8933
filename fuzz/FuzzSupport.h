#pragma once

#include <QApplication>
#include <QtGlobal>

#include <cstdlib>

namespace fuzz {

// One headless application for the whole run, never destroyed (as in the client itself). The
// parsers' own diagnostics are dropped: printing them would be most of the work per input.
inline void EnsureApplication()
{
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtFatalMsg) {
            fprintf(stderr, "fatal: %s\n", qPrintable(text));
            abort();
        }
    });
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = { name, nullptr };
    new QApplication(argc, argv);
}

// A property every answer must have; a broken one stops the run like a crash, with the input saved.
inline void Require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "property violated: %s\n", what);
        abort();
    }
}

// Reaches a member a class keeps private without touching the class: an explicit instantiation
// may name any member. Tag, declared in this namespace, holds `using type = <member pointer type>`
// and `friend type get(Tag);`.
template <typename Tag, typename Tag::type Member> struct PrivateMember {
    friend typename Tag::type get(Tag) { return Member; }
};

} // namespace fuzz
