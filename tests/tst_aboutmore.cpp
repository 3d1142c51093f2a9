// The About window and the MORE button: the product page opened for updates, and the
// companion program started only once About has closed, from the program's own directory.

#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "ui/CAboutDlg.h"
#include "ui/CTarvoDlg.h"
#include "ui/SiblingProgram.h"

#include <QApplication>
#include <QDir>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct SiblingStart {
    QString program;
    QString workingDirectory;
    QString currentDirectory;
    bool aboutStillOpen = false;
};

} // namespace

class TestAboutMore : public QObject {
    Q_OBJECT

private slots:
    void init() { GuiFixture::ResetOperationState(); }
    void cleanup() { SiblingProgram::SetLauncher({}); }

    // Its one button opens the product page on every click, and About stays.
    void aboutOffersOnlyTheProductPage() {
        UrlCapture urls;
        CAboutDlg about;
        about.show();
        const QList<QPushButton*> buttons = about.findChildren<QPushButton*>();
        QCOMPARE(buttons.size(), 1);
        QTest::mouseClick(buttons.constFirst(), Qt::LeftButton);
        QTest::mouseClick(buttons.constFirst(), Qt::LeftButton);
        const QUrl page = CAboutDlg::ProductListUrl();
        QCOMPARE(urls.Urls(), QList<QUrl>({page, page}));
        QVERIFY(page.scheme().startsWith("http") && !page.host().isEmpty());
        QVERIFY(about.isVisible());
    }

    void moreShowsAboutThenStartsTheSibling() {
        QList<SiblingStart> starts;
        SiblingProgram::SetLauncher([&](const QString& program, const QString& directory) {
            starts.append({program, directory, QDir::currentPath(),
                           qobject_cast<CAboutDlg*>(QApplication::activeModalWidget()) != nullptr});
            return true;
        });
        // As after a folder zip, the process is somewhere else.
        QTemporaryDir elsewhere;
        QDir::setCurrent(elsewhere.path());

        CTarvoDlg window;
        window.show();
        int startsWhileAboutWasUp = -1;
        ModalDriver driver;
        driver.Then(Answers::Inspect([&](QWidget*) { startsWhileAboutWasUp = starts.size(); },
                                     Answers::Close()));
        QTest::mouseClick(window.findChild<QPushButton*>("m_btnMore"), Qt::LeftButton);

        QCOMPARE(driver.Seen().size(), 1);
        QCOMPARE(driver.Seen().constFirst().kind, QStringLiteral("CAboutDlg"));
        QCOMPARE(driver.Seen().constFirst().owner, &window);
        QCOMPARE(startsWhileAboutWasUp, 0);
        QCOMPARE(starts.size(), 1);
        const QString programDirectory = QCoreApplication::applicationDirPath();
        QCOMPARE(starts.constFirst().program, programDirectory + "/quenlo");
        QCOMPARE(starts.constFirst().workingDirectory, programDirectory);
        QCOMPARE(QDir(starts.constFirst().currentDirectory).canonicalPath(),
                 QDir(programDirectory).canonicalPath());
        QVERIFY(!starts.constFirst().aboutStillOpen);
    }

    // MORE does not wait for a running operation, and the bar behind About goes on moving.
    void barKeepsMovingBehindAbout() {
        SiblingProgram::SetLauncher([](const QString&, const QString&) { return true; });
        CTarvoDlg window;
        window.show();
        OperationState::Instance().busy = true;
        auto* bar = window.findChild<QProgressBar*>("m_progress");
        int valueBehindAbout = -1;
        ModalDriver driver;
        driver.Then(Answers::Inspect(
            [&](QWidget*) {
                // What the ticker of the running operation sends meanwhile.
                for (int i = 0; i < 5; ++i)
                    window.Report()->Post(ProgressMessage::Step);
                QTRY_COMPARE(bar->value(), 5);
                valueBehindAbout = bar->value();
            },
            Answers::PressEscape()));
        QTest::mouseClick(window.findChild<QPushButton*>("m_btnMore"), Qt::LeftButton);
        QCOMPARE(driver.Summary().size(), 1);
        QCOMPARE(valueBehindAbout, 5);
    }

    // With the real start and no companion installed beside the program, nothing is said.
    void missingSiblingGivesNoMessage() {
        QVERIFY(!QFileInfo::exists(SiblingProgram::Path()));
        CTarvoDlg window;
        window.show();
        ModalDriver driver;
        driver.Then(Answers::PressEscape());
        QTest::mouseClick(window.findChild<QPushButton*>("m_btnMore"), Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(driver.Summary().size(), 1);
        QVERIFY(!QApplication::activeModalWidget());
    }
};

QTEST_MAIN(TestAboutMore)
#include "tst_aboutmore.moc"
