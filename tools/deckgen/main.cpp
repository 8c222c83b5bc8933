// lectern-deckgen: writes test decks. Usage: lectern-deckgen <deck.pptx|deck.ppt|deck.fodp> <slides>
#include "DeckWriter.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = app.arguments();
    bool ok = false;
    const int slides = args.size() == 3 ? args.at(2).toInt(&ok) : 0;
    if (!ok || slides < 1 || slides > 999) {
        err << "usage: lectern-deckgen <deck.pptx|deck.ppt|deck.fodp> <slides 1..999>\n";
        return 2;
    }
    QTemporaryDir profile;
    if (!profile.isValid()) {
        err << "cannot create a temporary profile folder\n";
        return 1;
    }
    QString error;
    if (!deckgen::writeDeck(QFileInfo(args.at(1)).absoluteFilePath(), slides, profile.path(), &error)) {
        err << error << "\n";
        return 1;
    }
    return 0;
}
