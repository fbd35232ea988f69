// End to end: the window writes the script and starts it detached; the real
// encoder and decoder, found only through the PATH the front-end gives the
// script, turn two generated WAV files into .qmz files and back. Also the
// headless mode of the real program.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

#include "main_window.h"

using qmz::DirectoryList;
using qmz::Form1;

namespace {

// A 16-bit PCM WAV file at 44 100 Hz holding a sine of the given pitch.
void writeWav(const QString& path, int channels, int frames, double hz) {
    QByteArray data;
    for (int i = 0; i < frames; ++i) {
        const auto v = static_cast<qint16>(8000.0 * std::sin(2.0 * M_PI * hz * i / 44100.0));
        for (int c = 0; c < channels; ++c) {
            data.append(static_cast<char>(v & 0xff));
            data.append(static_cast<char>((v >> 8) & 0xff));
        }
    }
    auto le = [](quint32 v, int bytes) {
        QByteArray b;
        for (int i = 0; i < bytes; ++i) b.append(static_cast<char>((v >> (8 * i)) & 0xff));
        return b;
    };
    QByteArray wav = "RIFF" + le(36 + data.size(), 4) + "WAVEfmt " + le(16, 4) + le(1, 2) +
                     le(channels, 2) + le(44100, 4) + le(44100 * 2 * channels, 4) +
                     le(2 * channels, 2) + le(16, 2) + "data" + le(data.size(), 4) + data;
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(wav), wav.size());
}

qint64 sizeOf(const QString& path) {
    return QFileInfo(path).exists() ? QFileInfo(path).size() : -1;
}

QByteArray runFront(const QStringList& args, int* exitCode) {
    QProcess p;
    p.start(QStringLiteral(QMZFRONT_PATH), args);
    if (!p.waitForFinished(30000)) return "<timeout>";
    *exitCode = p.exitCode();
    return p.readAllStandardOutput();
}

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

  private slots:
    void startEncodingRunsEncoderAndDecoder();
    void headlessModePrintsScript();
};

void EndToEndTest::startEncodingRunsEncoderAndDecoder() {
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/qmzdemo-XXXXXX"));
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    QVERIFY(root.mkpath(QStringLiteral("Music")) && root.mkpath(QStringLiteral("Encoded music")) &&
            root.mkpath(QStringLiteral("work")));
    const QString in = root.filePath(QStringLiteral("Music"));
    const QString out = root.filePath(QStringLiteral("Encoded music"));
    // Names the shell would otherwise split or expand.
    struct Input {
        QString name, encoded, decoded;
        int channels, frames;
    };
    const Input inputs[] = {
        {"first take.wav", "B_first take.qmz", "B_first take.wav", 2, 11025},
        {"it's $HOME.WAV", "B_it's $HOME.qmz", "B_it's $HOME.WAV", 1, 20000},
    };
    for (const Input& i : inputs) writeWav(QDir(in).filePath(i.name), i.channels, i.frames, 440.0);

    const QString oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root.filePath(QStringLiteral("work"))));
    {
        Form1 form;
        form.setToolDirectory(QStringLiteral(QMZ_TOOL_DIR));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.findChild<DirectoryList*>("Dir1")->setPath(in);
        form.findChild<DirectoryList*>("Dir2")->setPath(out);
        auto* file1 = form.findChild<QListWidget*>("File1");
        QCOMPARE(file1->count(), 2);
        file1->selectAll();
        QCOMPARE(form.findChild<QLabel*>("sel_count")->text(), QStringLiteral(" 2 FILES SELECTED"));
        for (QRadioButton* b : form.findChildren<QRadioButton*>("Option1"))
            if (b->property("index").toInt() == 3) QTest::mouseClick(b, Qt::LeftButton);
        QCOMPARE(form.presetRow(), 3);
        QTest::mouseClick(form.findChild<QPushButton*>("Command1"), Qt::LeftButton);
        QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("work/go.sh"))));
        // The window follows the detached script to its end.
        QTRY_VERIFY_WITH_TIMEOUT(!form.batchRunning(), 120000);
        QCOMPARE(form.statusText(), QStringLiteral("2 files done"));
        // The picture of the window in the README is taken here.
        const QByteArray grab = qgetenv("QMZFRONT_GRAB");
        if (!grab.isEmpty()) QVERIFY(form.grab().save(QString::fromLocal8Bit(grab)));
    }
    QDir::setCurrent(oldCwd);

    for (const Input& i : inputs) {
        QCOMPARE(sizeOf(QDir(out).filePath(i.decoded)), 44 + 2LL * i.channels * i.frames);
    }
    QFile log(root.filePath(QStringLiteral("work/go.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logText = log.readAll();
    QVERIFY2(logText.count(" -> ") == 2, logText.constData());
    for (const Input& i : inputs) {
        QVERIFY2(sizeOf(QDir(out).filePath(i.encoded)) > 266, qPrintable(i.encoded));
        QFile decoded(QDir(out).filePath(i.decoded));
        QVERIFY(decoded.open(QIODevice::ReadOnly));
        const QByteArray wav = decoded.readAll();
        QCOMPARE(wav.left(4), QByteArray("RIFF"));
        QCOMPARE(static_cast<int>(wav[22]), i.channels);
        // The tone comes back: the middle of the file is far from silent.
        const auto* s = reinterpret_cast<const qint16*>(wav.constData() + 44);
        double energy = 0;
        const int mid = i.channels * i.frames / 2;
        for (int k = mid; k < mid + 4410; ++k) energy += double(s[k]) * s[k];
        QVERIFY(std::sqrt(energy / 4410) > 2000.0);
    }
}

void EndToEndTest::headlessModePrintsScript() {
    int code = -1;
    QByteArray text = runFront({"--print-script", "--style", "windows", "--source", "C:\\Music",
                                "--dest", "D:\\Out", "--preset", "1", "--clip", "0", "Song.wav"},
                               &code);
    QCOMPARE(code, 0);
    QCOMPARE(text,
             QByteArray("qmzenc \"C:\\Music\\Song.wav\" \"D:\\Out\\AA_Song.qmz\" -AA -td -1 \r\n"
                        "qmzdec \"D:\\Out\\AA_Song.qmz\" \"D:\\Out\\AA_Song.wav\" \r\n"));
    text = runFront({"--print-script", "--source", "/", "--dest", "/o", "--preset", "5", "--clip",
                     "1", "x.wav"},
                    &code);
    QCOMPARE(code, 0);
    QCOMPARE(text, QByteArray("qmzenc '/x.wav' '/o/D_x.qmz' -D -td 30 \n"
                              "qmzdec '/o/D_x.qmz' '/o/D_x.wav' \n"));
    text = runFront({"--print-script", "--source", "/", "--dest", "/o", "--preset", "9", "--clip",
                     "1", "x.wav"},
                    &code);
    QCOMPARE(code, 2);
    QCOMPARE(text, QByteArray());
    text = runFront(
        {"--print-script", "--source", "/", "--dest", "", "--preset", "5", "--clip", "1", "x.wav"},
        &code);
    QCOMPARE(code, 2);
    QCOMPARE(text, QByteArray());
    text = runFront({"--help"}, &code);
    QCOMPARE(code, 0);
    QVERIFY2(text.startsWith("Usage: qmzfront") && text.contains("go.sh"), text.constData());
    text = runFront({"--print-script", "--style", "windows", "--source", "C:\\", "--dest", "D:\\",
                     "--preset", "1", "--clip", "0", "a\"b.wav"},
                    &code);
    QCOMPARE(code, 1);
    QCOMPARE(text, QByteArray());
}

QTEST_MAIN(EndToEndTest)
#include "end_to_end_test.moc"
