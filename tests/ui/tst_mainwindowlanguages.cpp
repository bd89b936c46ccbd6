// The window in every language shipped: each text fits, and Qt's own buttons are translated too.
#include "core/configuration.h"
#include "core/updateengine.h"
#include "support/windowtestground.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

namespace {
const QString qmDir = QStringLiteral(QUORVEL_BINARY_DIR "/src/translations");

// Widgets whose text is cut when they get less than they ask for. Labels that wrap or elide
// on purpose are left out: they are meant to be narrower than their one-line size.
QStringList clipped(const QWidget& window)
{
    QStringList found;
    const auto check = [&found](const QWidget* widget, const QString& text) {
        if (widget->isVisible() && widget->width() < widget->sizeHint().width())
            found << QStringLiteral("%1 \"%2\" %3 < %4")
                         .arg(widget->objectName(), text)
                         .arg(widget->width())
                         .arg(widget->sizeHint().width());
    };
    for (const QPushButton* button : window.findChildren<QPushButton*>())
        check(button, button->text());
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (!label->wordWrap())
            check(label, label->text());
    }
    return found;
}
}

class tst_MainWindowLanguages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void textsFitInEveryLanguage_data();
    void textsFitInEveryLanguage();

private:
    WindowTestGround ground;
    QTranslator updateTranslator;
    QTranslator qtTranslator;
};

void tst_MainWindowLanguages::initTestCase()
{
    QVERIFY(ground.prepare() && ground.newRoot());
}

void tst_MainWindowLanguages::cleanup()
{
    QCoreApplication::removeTranslator(&updateTranslator);
    QCoreApplication::removeTranslator(&qtTranslator);
}

void tst_MainWindowLanguages::textsFitInEveryLanguage_data()
{
    QTest::addColumn<QString>("language");
    const QStringList sources = QDir(QStringLiteral(QUORVEL_SOURCE_DIR "/translations"))
                                    .entryList({QStringLiteral("update_*.ts")}, QDir::Files, QDir::Name);
    QVERIFY(sources.size() >= 6);
    QTest::newRow("en") << QString();
    for (QString name : sources) {
        name = name.mid(7).chopped(3);
        QTest::newRow(qPrintable(name)) << name;
    }
}

void tst_MainWindowLanguages::textsFitInEveryLanguage()
{
    QFETCH(QString, language);
    Configuration configuration;
    configuration.versionLabel = QStringLiteral("3.1.0");
    configuration.channel = Beta;
    if (!language.isEmpty()) {
        // As the program loads them, by the language's name; the build copies Qt's file beside ours.
        QVERIFY(updateTranslator.load(qmDir + QStringLiteral("/update_") + language));
        QVERIFY(qtTranslator.load(qmDir + QStringLiteral("/qt_") + language));
        QCoreApplication::installTranslator(&updateTranslator);
        QCoreApplication::installTranslator(&qtTranslator);
        QVERIFY(QCoreApplication::translate("MainWindow", "Start Update") != QLatin1String("Start Update"));
        // The standard buttons of the program's boxes take their texts from here.
        QVERIFY(QCoreApplication::translate("QPlatformTheme", "&Yes") != QLatin1String("&Yes"));
    }

    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* engine = window.findChild<UpdateEngine*>();
    QVERIFY(engine);
    // Every text the window shows, in the states it passes through while updating and after.
    QStringList problems = clipped(window);
    Q_EMIT engine->downloadProgress(quint64(987654321), quint64(1987654321), quint64(12345678), true);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QVERIFY(window.findChild<QLabel*>(QStringLiteral("downloadSizeLabel"))->isVisible());
    problems += clipped(window);
    Q_EMIT engine->updateFinished();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    problems += clipped(window);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
}

QTEST_MAIN(tst_MainWindowLanguages)
#include "tst_mainwindowlanguages.moc"
