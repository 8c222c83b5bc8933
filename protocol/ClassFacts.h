#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdint>

// What the live relay sees of a class and hands to whoever keeps its records (lectern-server's
// database): who came and went, who spoke, chatted and raised a hand, and the quick questions with
// their answers. The relay has no database of its own; the answers are counted where they are kept.
namespace classfacts {

enum class Kind {
    Entered,
    Left,
    MicOn,
    MicOff,
    ChatLine,
    HandRaised,
    QuizOpened, // quizId, choices, text
    QuizClosed, // quizId
    QuizAnswered, // quizId, choice
    QuizTally, // quizId: only asks for the counts
};

struct Fact {
    Kind kind = Kind::Entered;
    quint32 roomId = 0;
    QString userId;
    qint64 quizId = 0;
    int choice = -1; // 0 is A
    int choices = 0;
    QString text;
};

// Quick questions have two to six choices, A to F.
constexpr int kMinChoices = 2;
constexpr int kMaxChoices = 6;

// The relay codes a question's facts are refused with.
constexpr int kNoSuchQuestion = 10023;
constexpr int kQuestionClosed = 10024;

struct Verdict {
    int code = 0; // 0, or the relay code to refuse with
    QString desc;
    // For a question's facts: {"quizId", "choices", "text", "counts": [n per choice],
    // "answers": {"<userId>": choice}, "closed": bool}.
    QJsonObject tally;
};

} // namespace classfacts
