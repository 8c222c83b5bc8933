// X11's X.h, when seen before the tool names, has made None a macro.
#define None 0L
#include "whiteboard/InstrumentType.h"

#include "whiteboard/AutoClosePopup.h"
#include "whiteboard/ColorComboDelegate.h"
#include "whiteboard/FontOptions.h"
#include "whiteboard/OptionsContainer.h"
#include "whiteboard/PaintSettings.h"
#include "whiteboard/PaintToolBar.h"
#include "whiteboard/PenOptions.h"

#include <QApplication>
#include <QComboBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QtTest>

namespace {

OptionsContainer* openPopup(PaintToolBar& bar)
{
    const auto popups = bar.findChildren<OptionsContainer*>();
    for (OptionsContainer* popup : popups) {
        if (popup->isVisible())
            return popup;
    }
    return nullptr;
}

void closePopups(PaintToolBar& bar)
{
    for (OptionsContainer* popup : bar.findChildren<OptionsContainer*>())
        popup->close();
    QTest::qWait(0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestPaintToolBar : public QObject {
    Q_OBJECT
private slots:
    void init();
    void buttonsAnnounceTools();
    void penPopupKeepsChoices();
    void fontPopupKeepsChoices();
    void popupSitsAboveItsButton();
    void colorRowsAreSwatches();
    void autoClosePopupClosesItself();
    void toolNamesSurvivePlatformHeaders();

private:
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
    QCOMPARE(bar.size(), QSize(521, 90));
    const QList<QPair<InstrumentType, QString>> expected = {
        {Pen, "画笔"}, {Text, "文字"}, {Eraser, "清除"}, {Rectangle, "矩形"},
        {Arrow, "箭头"}, {Move, "移动"}, {Clear, "清空"}};
    const QStringList names = {"penButton", "textButton", "eraseButton", "rectButton",
                               "arrowButton", "moveButton", "clearButton"};
    int lastX = -1;
    for (int i = 0; i < expected.size(); ++i) {
        QAbstractButton* b = bar.button(expected[i].first);
        QVERIFY(b);
        QCOMPARE(b->objectName(), names[i]);
        QCOMPARE(b->toolTip(), expected[i].second);
        QVERIFY(!b->isChecked());
        QVERIFY(b->width() >= 40 && b->height() >= 40);
        QVERIFY2(b->x() > lastX, "left to right");
        lastX = b->x();
        QCOMPARE(bool(qobject_cast<QRadioButton*>(b)), expected[i].first != Clear);
    }
    QVERIFY(bar.button(Clear)->isCheckable());

    QSignalSpy spy(&bar, &PaintToolBar::SelectTool);
    for (const auto& tool : expected) {
        QTest::mouseClick(bar.button(tool.first), Qt::LeftButton);
        QCOMPARE(spy.last().at(0).value<InstrumentType>(), tool.first);
        const bool withPopup = tool.first == Pen || tool.first == Text || tool.first == Rectangle
            || tool.first == Arrow;
        OptionsContainer* popup = openPopup(bar);
        QCOMPARE(bool(popup), withPopup);
        if (popup) {
            QCOMPARE(bool(popup->findChild<FontOptions*>()), tool.first == Text);
            QCOMPARE(bool(popup->findChild<PenOptions*>()), tool.first != Text);
            QVERIFY(popup->testAttribute(Qt::WA_DeleteOnClose));
            QVERIFY(popup->windowFlags() & Qt::Popup);
        }
        closePopups(bar);
        QVERIFY(bar.findChildren<OptionsContainer*>().isEmpty());
    }
    QCOMPARE(spy.size(), 7);
    // Clearing leaves the tool in use selected, and only that one shows as checked.
    QVERIFY(bar.button(Move)->isChecked());
    QVERIFY(!bar.button(Pen)->isChecked());
    QVERIFY(!bar.button(Clear)->isChecked());
    QTest::mouseClick(bar.button(Clear), Qt::LeftButton);
    QCOMPARE(spy.last().at(0).value<InstrumentType>(), Clear);
    QVERIFY(!bar.button(Clear)->isChecked());
    QTest::mouseClick(bar.button(Eraser), Qt::LeftButton);
    int checked = 0;
    for (QAbstractButton* b : bar.findChildren<QAbstractButton*>())
        checked += b->isChecked();
    QCOMPARE(checked, 1);
    QVERIFY(bar.button(Eraser)->isChecked());
}

void TestPaintToolBar::penPopupKeepsChoices()
{
    PaintToolBar& bar = *m_bar;
    QCOMPARE(PenSettings::color(), QStringLiteral("#000000"));
    QTest::mouseClick(bar.button(Pen), Qt::LeftButton);
    PenOptions* options = openPopup(bar)->findChild<PenOptions*>();
    QCOMPARE(PenSettings::color(), QStringLiteral("#FF3537"));
    QCOMPARE(PenSettings::pen().color(), QColor("#FF3537"));
    QComboBox* combo = options->findChild<QComboBox*>("comboBox");
    QCOMPARE(combo->count(), 10);
    QCOMPARE(combo->itemData(8).toString(), QStringLiteral("#040404"));
    QVERIFY(combo->styleSheet().contains("background:#FF3537;color:#FF3537;"));
    QVERIFY(options->findChild<QRadioButton*>("midRadioButton")->isChecked());

    combo->setCurrentIndex(4);
    QCOMPARE(PenSettings::color(), QStringLiteral("#00A056"));
    QTest::mouseClick(options->findChild<QRadioButton*>("largeRadioButton"), Qt::LeftButton);
    QCOMPARE(PenSettings::sizeIndex(), 2);
    QCOMPARE(PenSettings::pen().width(), 5);
    closePopups(bar);

    QTest::mouseClick(bar.button(Rectangle), Qt::LeftButton);
    options = openPopup(bar)->findChild<PenOptions*>();
    QCOMPARE(PenSettings::color(), QStringLiteral("#00A056"));
    QVERIFY(options->findChild<QComboBox*>("comboBox")->styleSheet().contains("background:#00A056;"));
    QVERIFY(options->findChild<QRadioButton*>("largeRadioButton")->isChecked());
    QVERIFY(!options->findChild<QRadioButton*>("midRadioButton")->isChecked());
    // Clicking the checked size again changes nothing.
    QTest::mouseClick(options->findChild<QRadioButton*>("largeRadioButton"), Qt::LeftButton);
    QCOMPARE(PenSettings::sizeIndex(), 2);
    QTest::mouseClick(options->findChild<QRadioButton*>("smallRadioButton"), Qt::LeftButton);
    QCOMPARE(PenSettings::pen().width(), 1);
    closePopups(bar);
}

void TestPaintToolBar::fontPopupKeepsChoices()
{
    PaintToolBar& bar = *m_bar;
    QTest::mouseClick(bar.button(Text), Qt::LeftButton);
    FontOptions* options = openPopup(bar)->findChild<FontOptions*>();
    QCOMPARE(FontSettings::color(), QStringLiteral("#FF3537"));
    QComboBox* sizes = options->findChild<QComboBox*>("fontSizeComboBox");
    QCOMPARE(sizes->count(), 12);
    QCOMPARE(sizes->itemText(0), QStringLiteral("9"));
    QCOMPARE(sizes->itemData(11).toInt(), 20);
    QCOMPARE(sizes->currentIndex(), 0);
    QCOMPARE(FontSettings::fontSize(), 9);

    sizes->setCurrentIndex(5);
    QCOMPARE(FontSettings::fontSize(), 14);
    options->findChild<QComboBox*>("colorComboBox")->setCurrentIndex(2);
    QCOMPARE(FontSettings::color(), QStringLiteral("#D05CC5"));
    closePopups(bar);

    QTest::mouseClick(bar.button(Text), Qt::LeftButton);
    options = openPopup(bar)->findChild<FontOptions*>();
    QCOMPARE(options->findChild<QComboBox*>("fontSizeComboBox")->currentText(), QStringLiteral("14"));
    QCOMPARE(FontSettings::color(), QStringLiteral("#D05CC5"));
    QVERIFY(options->findChild<QComboBox*>("colorComboBox")->styleSheet().contains("background:#D05CC5;"));
    // Picking the first colour after reopening takes effect.
    options->findChild<QComboBox*>("colorComboBox")->setCurrentIndex(0);
    QCOMPARE(FontSettings::color(), QStringLiteral("#FF3537"));
    closePopups(bar);
}

void TestPaintToolBar::popupSitsAboveItsButton()
{
    PaintToolBar& bar = *m_bar;
    QAbstractButton* pen = bar.button(Pen);
    QTest::mouseClick(pen, Qt::LeftButton);
    OptionsContainer* popup = openPopup(bar);
    QVERIFY(popup);
    // Wider than the button at the screen's left edge: pushed to x = 0.
    QVERIFY(pen->mapToGlobal(QPoint(0, 0)).x() - (popup->width() - pen->width()) / 2 < 0);
    QCOMPARE(popup->x(), 0);
    QCOMPARE(popup->y(), pen->mapToGlobal(QPoint(0, 0)).y() - popup->sizeHint().height() - 2);
    QCOMPARE(popup->arrowX(), pen->mapToGlobal(QPoint(pen->width() / 2, 0)).x() - popup->x());

    // The window is cut to the bubble: its point is kept, the corners beside it are not.
    const QRegion mask = popup->mask();
    const int h = popup->height() - 6;
    QVERIFY(mask.contains(QPoint(popup->arrowX(), h + 3)));
    QVERIFY(!mask.contains(QPoint(popup->arrowX() + 20, h + 3)));
    QVERIFY(!mask.contains(QPoint(0, 0)));
    QVERIFY(mask.contains(QPoint(popup->width() / 2, h / 2)));
    closePopups(bar);

    // Further right, the bubble is centred over its button.
    QAbstractButton* arrow = bar.button(Arrow);
    bar.move(600, 500);
    QTest::qWait(0);
    QTest::mouseClick(arrow, Qt::LeftButton);
    popup = openPopup(bar);
    const int centre = arrow->mapToGlobal(QPoint(arrow->width() / 2, 0)).x();
    QVERIFY(popup->x() > 0);
    QVERIFY(std::abs(popup->x() + popup->width() / 2 - centre) <= 1);
    closePopups(bar);
}

void TestPaintToolBar::colorRowsAreSwatches()
{
    ColorComboDelegate delegate;
    QStandardItemModel model;
    model.appendRow(new QStandardItem("#00A9CC"));
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 100, 30);
    QCOMPARE(delegate.sizeHint(option, model.index(0, 0)), QSize(1, 30));

    QImage image(100, 30, QImage::Format_RGB32);
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        delegate.paint(&painter, option, model.index(0, 0));
    }
    QCOMPARE(QColor(image.pixel(2, 2)), QColor("#E6E6E6"));
    QCOMPARE(QColor(image.pixel(11, 4)), QColor(Qt::white));
    QCOMPARE(QColor(image.pixel(50, 15)), QColor("#00A9CC"));

    option.state |= QStyle::State_MouseOver;
    {
        QPainter painter(&image);
        delegate.paint(&painter, option, model.index(0, 0));
    }
    QCOMPARE(QColor(image.pixel(2, 2)), QColor("#666666"));
}

void TestPaintToolBar::autoClosePopupClosesItself()
{
    AutoClosePopup first;
    AutoClosePopup second;
    QVERIFY(first.windowFlags() & Qt::Tool);
    first.show();
    QVERIFY(first.closeTimer()->isActive());
    QCOMPARE(first.closeTimer()->interval(), 1000);
    QCOMPARE(AutoClosePopup::current(), &first);

    second.show();
    QVERIFY(!first.isVisible());
    QCOMPARE(AutoClosePopup::current(), &second);

    // The pointer over it holds it open; leaving starts the second again.
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(&second, &enter);
    QVERIFY(!second.closeTimer()->isActive());
    QTest::qWait(1200);
    QVERIFY(second.isVisible());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&second, &leave);
    QVERIFY(second.closeTimer()->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!second.isVisible(), 3000);
}

// A global function of the GDI's name, declared after the tool names as <windows.h> does.
int Rectangle(void*, int left, int top, int right, int bottom)
{
    return (right - left) * (bottom - top);
}

void TestPaintToolBar::toolNamesSurvivePlatformHeaders()
{
    QCOMPARE(int(None), 0);
    QCOMPARE(int(Pen), 1);
    QCOMPARE(int(InstrumentType::Rectangle), 3);
    QCOMPARE(int(Clear), 8);
    QCOMPARE(::Rectangle(nullptr, 0, 0, 4, 5), 20);
    const QVariant tool = QVariant::fromValue(InstrumentType::Rectangle);
    QCOMPARE(tool.value<InstrumentType>(), InstrumentType::Rectangle);
}

QTEST_MAIN(TestPaintToolBar)
#include "tst_painttoolbar.moc"
