#include "shell/RowBinder.h"

#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QtTest>

#include <utility>

namespace {
constexpr int kMargin = 2;
constexpr int kRowHeight = 20;

QString TextOf(QListWidget* list, int row)
{
    auto* label = qobject_cast<QLabel*>(list->itemWidget(list->item(row)));
    return label ? label->text() : QString();
}

int BuiltRows(QListWidget* list)
{
    int built = 0;
    for (int i = 0; i < list->count(); ++i)
        built += list->itemWidget(list->item(i)) ? 1 : 0;
    return built;
}

// Rows in view, by their position in the viewport.
std::pair<int, int> RowsInView(QListWidget* list)
{
    const int first = list->indexAt(QPoint(0, 0)).row();
    const QModelIndex bottom = list->indexAt(QPoint(0, list->viewport()->height() - 1));
    return { first, bottom.isValid() ? bottom.row() : list->count() - 1 };
}
} // namespace

class TestRowBinder : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_list = new QListWidget;
        m_list->resize(200, 10 * kRowHeight + 2 * m_list->frameWidth());
        m_binder = new RowBinder(
            m_list, [](QListWidgetItem* item) -> QWidget* { return new QLabel(item->text()); }, kMargin);
        for (int i = 0; i < 300; ++i)
            AddRow(QStringLiteral("row %1").arg(i));
    }

    void cleanup() { delete m_list; }

    // Rows inserted or removed ahead of the built ones renumber them: stale numbers once left
    // rows in view blank and kept widgets of rows far away alive for good.
    void buildsRowsNearViewAndKeepsThemRightAsRowsChange_regression()
    {
        QCOMPARE(BuiltRows(m_list), 0); // hidden: nothing built until the list shows
        m_list->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_list));
        QTRY_VERIFY(BuiltRows(m_list) > 0);
        m_list->verticalScrollBar()->setValue(m_list->verticalScrollBar()->maximum() / 2);
        CheckBuiltRowsFollowView();

        // A row far from view is built on demand; the next scroll gives it back.
        auto* far = qobject_cast<QLabel*>(m_binder->Ensure(0));
        QVERIFY(far && far->text() == QStringLiteral("row 0"));
        QCOMPARE(m_binder->Ensure(0), far);
        QVERIFY(!m_binder->Ensure(300));

        for (int i = 0; i < 5; ++i)
            m_list->insertItem(0, QStringLiteral("new %1").arg(i));
        m_list->scrollToBottom();
        CheckBuiltRowsFollowView();
        QCOMPARE(TextOf(m_list, 304), QStringLiteral("row 299"));

        for (int i = 0; i < 8; ++i)
            delete m_list->takeItem(m_list->count() - 20);
        m_list->scrollToTop();
        CheckBuiltRowsFollowView();
        QCOMPARE(TextOf(m_list, 0), QStringLiteral("new 4"));

        // Cleared while hidden and filled again: the rows in view are built when it shows.
        m_list->hide();
        m_list->clear();
        for (int i = 0; i < 50; ++i)
            AddRow(QStringLiteral("again %1").arg(i));
        m_list->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_list));
        m_binder->Sync();
        CheckBuiltRowsFollowView();
        QCOMPARE(TextOf(m_list, 0), QStringLiteral("again 0"));
    }

private:
    void AddRow(const QString& text)
    {
        auto* item = new QListWidgetItem(text, m_list);
        item->setSizeHint(QSize(1, kRowHeight));
    }

    // Every row in view shows its own item; nothing is built beyond the margin.
    void CheckBuiltRowsFollowView()
    {
        const auto [first, last] = RowsInView(m_list);
        QVERIFY(first >= 0);
        for (int row = first; row <= last; ++row)
            QCOMPARE(TextOf(m_list, row), m_list->item(row)->text());
        for (int row = 0; row < m_list->count(); ++row)
            if (row < first - kMargin || row > last + kMargin)
                QVERIFY2(!m_list->itemWidget(m_list->item(row)), qPrintable(QString::number(row)));
        QVERIFY(BuiltRows(m_list) <= last - first + 1 + 2 * kMargin);
    }

    QListWidget* m_list = nullptr;
    RowBinder* m_binder = nullptr;
};

QTEST_MAIN(TestRowBinder)
#include "tst_rowbinder.moc"
