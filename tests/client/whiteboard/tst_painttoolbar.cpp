// X11's X.h, when seen before the tool names, has made None a macro.
#define None 0L
#include "whiteboard/InstrumentType.h"

#include "whiteboard/FontOptions.h"
#include "whiteboard/OptionsContainer.h"
#include "whiteboard/PaintSettings.h"
#include "whiteboard/PaintToolBar.h"
#include "whiteboard/PenOptions.h"

#include <QApplication>
#include <QComboBox>
#include <QRadioButton>
#include <QtTest>

class TestPaintToolBar : public QObject {
    Q_OBJECT
private slots:
    void init();
    void buttonsAnnounceTools();
    void popupsKeepChoices();
    void toolNamesSurvivePlatformHeaders();

private:
    OptionsContainer* open(InstrumentType tool)
    {
        QTest::mouseClick(m_bar->button(tool), Qt::LeftButton);
        for (OptionsContainer* popup : m_bar->findChildren<OptionsContainer*>()) {
            if (popup->isVisible())
                return popup;
        }
        return nullptr;
    }
    void closePopups()
    {
        for (OptionsContainer* popup : m_bar->findChildren<OptionsContainer*>())
            popup->close();
        QTest::qWait(0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    std::unique_ptr<PaintToolBar> m_bar;
};

void TestPaintToolBar::init()
{
    PenSettings::reset();
    FontSettings::reset();
    m_bar = std::make_unique<PaintToolBar>();
    m_bar->move(0, 500);
    m_bar->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_bar.get()));
}

void TestPaintToolBar::buttonsAnnounceTools()
{
    PaintToolBar& bar = *m_bar;
    const QList<QPair<InstrumentType, QString>> tools = { { Pen, "画笔" }, { Text, "文字" },
        { Eraser, "清除" }, { Rectangle, "矩形" }, { Arrow, "箭头" }, { Move, "移动" }, { Clear, "清空" } };
    QSignalSpy spy(&bar, &PaintToolBar::SelectTool);
    for (const auto& tool : tools) {
        QCOMPARE(bar.button(tool.first)->toolTip(), tool.second);
        OptionsContainer* popup = open(tool.first);
        QCOMPARE(spy.last().at(0).value<InstrumentType>(), tool.first);
        QCOMPARE(bool(popup),
            tool.first == Pen || tool.first == Text || tool.first == Rectangle || tool.first == Arrow);
        if (popup)
            QCOMPARE(bool(popup->findChild<FontOptions*>()), tool.first == Text);
        closePopups();
        QVERIFY2(bar.findChildren<OptionsContainer*>().isEmpty(), "closed popups are deleted");
    }
    QCOMPARE(spy.size(), 7);
    // Clearing is an action: the tool in use stays checked.
    QVERIFY(bar.button(Move)->isChecked() && !bar.button(Clear)->isChecked());
}

void TestPaintToolBar::popupsKeepChoices()
{
    QCOMPARE(PenSettings::color(), QStringLiteral("#000000"));
    auto* pen = open(Pen)->findChild<PenOptions*>();
    QCOMPARE(PenSettings::pen().color(), QColor("#FF3537"));
    QVERIFY(pen->findChild<QRadioButton*>("midRadioButton")->isChecked());
    pen->findChild<QComboBox*>("comboBox")->setCurrentIndex(4);
    QTest::mouseClick(pen->findChild<QRadioButton*>("largeRadioButton"), Qt::LeftButton);
    QCOMPARE(PenSettings::pen(), QPen(QColor("#00A056"), 5));
    closePopups();

    auto* font = open(Text)->findChild<FontOptions*>();
    QCOMPARE(FontSettings::fontSize(), 9);
    font->findChild<QComboBox*>("fontSizeComboBox")->setCurrentIndex(5);
    font->findChild<QComboBox*>("colorComboBox")->setCurrentIndex(2);
    QCOMPARE(FontSettings::color(), QStringLiteral("#D05CC5"));
    closePopups();

    // The lists reopen on what is in use, so picking the first colour again takes effect.
    font = open(Text)->findChild<FontOptions*>();
    QCOMPARE(font->findChild<QComboBox*>("fontSizeComboBox")->currentText(), QStringLiteral("14"));
    font->findChild<QComboBox*>("colorComboBox")->setCurrentIndex(0);
    QCOMPARE(FontSettings::color(), QStringLiteral("#FF3537"));
    closePopups();
}

// A global function of the GDI's name, declared after the tool names as <windows.h> does.
int Rectangle(void*, int left, int top, int right, int bottom)
{
    return (right - left) * (bottom - top);
}

void TestPaintToolBar::toolNamesSurvivePlatformHeaders()
{
    // Both names still reach what they mean once the other headers have been seen.
    QCOMPARE(int(None), 0);
    QCOMPARE(::Rectangle(nullptr, 0, 0, 4, 5), 20);
    QCOMPARE(
        QVariant::fromValue(InstrumentType::Rectangle).value<InstrumentType>(), InstrumentType::Rectangle);
}

QTEST_MAIN(TestPaintToolBar)
#include "tst_painttoolbar.moc"
