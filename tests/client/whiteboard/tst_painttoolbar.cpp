// X11's X.h, when seen before the tool names, has made None a macro.
#define None 0L
#include "whiteboard/InstrumentType.h"

#include "whiteboard/AutoClosePopup.h"
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
    void autoClosePopupClosesItself();
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
    const QList<QPair<InstrumentType, QString>> tools = {{Pen, "画笔"}, {Text, "文字"}, {Eraser, "清除"},
        {Rectangle, "矩形"}, {Arrow, "箭头"}, {Move, "移动"}, {Clear, "清空"}};
    QSignalSpy spy(&bar, &PaintToolBar::SelectTool);
    for (const auto& tool : tools) {
        QCOMPARE(bar.button(tool.first)->toolTip(), tool.second);
        OptionsContainer* popup = open(tool.first);
        QCOMPARE(spy.last().at(0).value<InstrumentType>(), tool.first);
        QCOMPARE(bool(popup), tool.first == Pen || tool.first == Text || tool.first == Rectangle || tool.first == Arrow);
        if (popup)
            QCOMPARE(bool(popup->findChild<FontOptions*>()), tool.first == Text);
        closePopups();
        QVERIFY2(bar.findChildren<OptionsContainer*>().isEmpty(), "closed popups are deleted");
    }
    QCOMPARE(spy.size(), 7);
    // Clearing is an action: the tool in use stays the only one checked.
    QVERIFY(bar.button(Move)->isChecked());
    QVERIFY(!bar.button(Clear)->isChecked());
    QTest::mouseClick(bar.button(Eraser), Qt::LeftButton);
    int checked = 0;
    for (QAbstractButton* b : bar.findChildren<QAbstractButton*>())
        checked += b->isChecked();
    QCOMPARE(checked, 1);
    QVERIFY(bar.button(Eraser)->isChecked());
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

    // The rectangle shares the pen's choices; its lists open on the colour and size in use.
    pen = open(Rectangle)->findChild<PenOptions*>();
    QCOMPARE(pen->findChild<QComboBox*>("comboBox")->currentIndex(), 4);
    QVERIFY(pen->findChild<QRadioButton*>("largeRadioButton")->isChecked());
    QTest::mouseClick(pen->findChild<QRadioButton*>("smallRadioButton"), Qt::LeftButton);
    QCOMPARE(PenSettings::pen().width(), 1);
    closePopups();

    auto* font = open(Text)->findChild<FontOptions*>();
    QCOMPARE(FontSettings::fontSize(), 9);
    font->findChild<QComboBox*>("fontSizeComboBox")->setCurrentIndex(5);
    font->findChild<QComboBox*>("colorComboBox")->setCurrentIndex(2);
    QCOMPARE(FontSettings::fontSize(), 14);
    QCOMPARE(FontSettings::color(), QStringLiteral("#D05CC5"));
    closePopups();

    font = open(Text)->findChild<FontOptions*>();
    QCOMPARE(font->findChild<QComboBox*>("fontSizeComboBox")->currentText(), QStringLiteral("14"));
    QCOMPARE(FontSettings::color(), QStringLiteral("#D05CC5"));
    // Picking the first colour after reopening takes effect.
    font->findChild<QComboBox*>("colorComboBox")->setCurrentIndex(0);
    QCOMPARE(FontSettings::color(), QStringLiteral("#FF3537"));
    closePopups();
}

void TestPaintToolBar::autoClosePopupClosesItself()
{
    AutoClosePopup first;
    AutoClosePopup second;
    first.show();
    QVERIFY(first.closeTimer()->isActive());
    QCOMPARE(AutoClosePopup::current(), &first);
    second.show();
    QVERIFY(!first.isVisible());
    QCOMPARE(AutoClosePopup::current(), &second);

    // The pointer over it holds it open; leaving starts the countdown again.
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(&second, &enter);
    QTest::qWait(1200);
    QVERIFY(second.isVisible());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&second, &leave);
    QTRY_VERIFY_WITH_TIMEOUT(!second.isVisible(), 3000);
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
    QCOMPARE(QVariant::fromValue(InstrumentType::Rectangle).value<InstrumentType>(), InstrumentType::Rectangle);
}

QTEST_MAIN(TestPaintToolBar)
#include "tst_painttoolbar.moc"
