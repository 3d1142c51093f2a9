// The status label of the main window, as it is seen on screen: its colour, where its text
// starts, how a long text is shortened and runs on, and that every change replaces the label
// without leaving anything of the earlier text behind.

#include "support/GuiFixture.h"
#include "ui/AStatic.h"
#include "ui/CTarvoDlg.h"

#include <QPushButton>
#include <QTest>

#include <algorithm>

namespace {

const QRgb Red = qRgb(200, 0, 0);
const QRgb Green = qRgb(0, 155, 0);

QImage Screen(QWidget& window) {
    return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// A full block: a glyph without side bearings, so its ink starts where the text starts.
const QString Block = QString(QChar(0x2588));

// Whether a pixel shows some of this text colour, smoothed edges included: the window and its
// controls are grey, so any clear tint of the colour's own channel comes from the text.
bool Tinted(QRgb pixel, QRgb colour) {
    const int red = qRed(pixel), green = qGreen(pixel), blue = qBlue(pixel);
    if (colour == Red)
        return red - std::max(green, blue) > 30;
    return green - std::max(red, blue) > 30;
}

// The rectangle holding every pixel tinted with this colour; null when there is none.
QRect Extent(const QImage& image, QRgb colour) {
    QRect extent;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (Tinted(image.pixel(x, y), colour))
                extent |= QRect(x, y, 1, 1);
    return extent;
}

} // namespace

class TestStatusLabel : public QObject {
    Q_OBJECT

private slots:
    void init() {
        GuiFixture::ResetOperationState();
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
    }
    void cleanup() { m_window.reset(); }

    void colourFollowsTheWarningFlag_data() {
        QTest::addColumn<int>("warning");
        QTest::addColumn<QRgb>("colour");
        QTest::newRow("warning set: red") << 1 << Red;
        QTest::newRow("warning clear: green") << 0 << Green;
        QTest::newRow("any other non-zero warning: red") << 7 << Red;
        QTest::newRow("negative warning: red") << -1 << Red;
    }

    void colourFollowsTheWarningFlag() {
        QFETCH(int, warning);
        QFETCH(QRgb, colour);
        m_window->ShowStatus(QStringLiteral("Something to read"), warning);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(status->TextColor().rgb(), colour);
        const QImage screen = Screen(*m_window);
        QVERIFY(GuiFixture::CountPixels(screen, status->geometry(), colour) > 0);
        const QRgb other = colour == Red ? Green : Red;
        QVERIFY(Extent(screen, other).isNull());
    }

    void textStartsTwoPixelsInFromTheCorner() {
        m_window->ShowStatus(Block.repeated(3), 0);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        const QRect drawn = Extent(Screen(*m_window), Green);
        const QPoint corner = status->pos();
        QVERIFY(corner.x() >= 100 && corner.y() >= 10);
        const QFontMetrics metrics(status->font());
        QCOMPARE(drawn.left(), corner.x() + 2);
        // The line's top is 2 pixels down; the block's ink starts where the font puts its top
        // against the baseline.
        const int inkTop = corner.y() + 2 + metrics.ascent() + metrics.boundingRect(Block).top();
        QVERIFY2(qAbs(drawn.top() - inkTop) <= 1,
                 qPrintable(QStringLiteral("%1 against %2").arg(drawn.top()).arg(inkTop)));
    }

    void labelHasNoBackgroundOfItsOwn() {
        m_window->ShowStatus(QString(), 1);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QVERIFY(!status->autoFillBackground());
        const QImage screen = Screen(*m_window);
        const QColor background = m_window->palette().color(QPalette::Window);
        // An empty text leaves the window's own surface there.
        QCOMPARE(QColor(screen.pixel(status->pos() + QPoint(1, 1))), background);
        QVERIFY(Extent(screen, Red).isNull());
    }

    void longTextIsShortenedWhereItIsDrawn_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("drawn");
        const QString eighty = QString("0123456789").repeated(8);
        QTest::newRow("80 units are drawn whole") << eighty << eighty;
        QTest::newRow("81 units: the first 80 and four dots") << eighty + "X" << eighty + "....";
        QTest::newRow("200 units: the first 80 and four dots")
            << QString(200, 'w') << QString(80, 'w') + "....";
        QTest::newRow("empty text") << QString() << QString();
        const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
        QTest::newRow("units, not characters, are counted")
            << QString(40, 'a') + face.repeated(20) << QString(40, 'a') + face.repeated(20);
        QTest::newRow("a surrogate pair across the cut is left out whole")
            << QString(79, 'a') + face + "b" << QString(79, 'a') + "....";
    }

    void longTextIsShortenedWhereItIsDrawn() {
        QFETCH(QString, text);
        QFETCH(QString, drawn);
        m_window->ShowStatus(text, 1);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(status->text(), text);
        QCOMPARE(status->DisplayedText(), drawn);
    }

    void longTextRunsOnToTheWindowsEdge() {
        m_window->ShowStatus(Block.repeated(84), 1);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(status->geometry().right(), m_window->width() - 1);
        const QRect drawn = Extent(Screen(*m_window), Red);
        // Far past the nominal 100-pixel rectangle, up to the edge.
        QVERIFY(drawn.right() > status->x() + 100);
        QCOMPARE(drawn.right(), m_window->width() - 1);
    }

    void changingTheTextLeavesNothingOfTheEarlierOne() {
        m_window->ShowStatus(QString(84, 'W'), 1);
        QVERIFY(!Extent(Screen(*m_window), Red).isNull());
        m_window->ShowStatus(QStringLiteral("ok"), 0);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        const QImage screen = Screen(*m_window);
        QVERIFY(Extent(screen, Red).isNull());
        const int textEnd = status->x() + 2 + status->fontMetrics().horizontalAdvance("ok");
        QVERIFY(Extent(screen, Green).right() <= textEnd + 1);
    }

    void everyChangeReplacesTheOneLabel() {
        QPointer<AStatic> first = GuiFixture::StatusLabel(m_window.get());
        for (int i = 0; i < 500; ++i)
            m_window->ShowStatus(QStringLiteral("status %1").arg(i), i % 2);
        QVERIFY(first.isNull());
        const QList<AStatic*> labels = m_window->findChildren<AStatic*>();
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.constFirst()->objectName(), QStringLiteral("m_pStatus"));
        QCOMPARE(labels.constFirst()->text(), QStringLiteral("status 499"));
        QCOMPARE(labels.constFirst()->TextColor().rgb(), Red);
        QCOMPARE(labels.constFirst()->font(), m_window->font());
    }

    // The label reaches under MORE; the button stays clickable and on top of the text.
    void moreStaysClickableUnderALongText() {
        m_window->ShowStatus(QString(84, 'W'), 1);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        auto* more = m_window->findChild<QPushButton*>("m_btnMore");
        QCOMPARE(m_window->childAt(more->geometry().center()), more);
        const QImage screen = Screen(*m_window);
        QVERIFY(!Extent(screen.copy(status->geometry()), Red).isNull());
        QVERIFY(Extent(screen.copy(more->geometry().adjusted(2, 2, -2, -2)), Red).isNull());
    }

private:
    std::unique_ptr<CTarvoDlg> m_window;
};

QTEST_MAIN(TestStatusLabel)
#include "tst_statuslabel.moc"
