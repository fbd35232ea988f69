#include "batch_monitor.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace qmz {
namespace {

// The first line each program prints when it starts on a file.
const QByteArray kEncoderBanner = QByteArrayLiteral("QMZ audio encoder ");
const QByteArray kDecoderBanner = QByteArrayLiteral("QMZ audio decoder ");

}  // namespace

BatchMonitor::BatchMonitor(std::vector<BatchItem> items, QString logFile)
    : items_(std::move(items)), logFile_(std::move(logFile)) {
    for (const BatchItem& item : items_) {
        encodedBefore_.push_back(stampOf(item.encoded));
        decodedBefore_.push_back(stampOf(item.decoded));
    }
}

BatchMonitor::Stamp BatchMonitor::stampOf(const std::string& path) {
    Stamp s;
#ifdef Q_OS_WIN
    const QFileInfo info(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!info.exists()) return s;
    s.exists = true;
    s.size = info.size();
    s.modified = info.lastModified().toMSecsSinceEpoch();
    s.changed = info.birthTime().toMSecsSinceEpoch();
#else
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.size = st.st_size;
    s.modified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    s.changed = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    s.id = static_cast<qint64>(st.st_ino);
#endif
    return s;
}

bool BatchMonitor::fresh(const std::string& path, const Stamp& before) const {
    const Stamp now = stampOf(path);
    return now.exists && !(now == before);
}

void BatchMonitor::update() {
    QFile log(logFile_);
    if (!logFile_.isEmpty() && log.open(QIODevice::ReadOnly)) {
        if (log.size() < logOffset_) logOffset_ = 0;  // truncated by another start
        log.seek(logOffset_);
        const QByteArray added = log.readAll();
        logOffset_ += added.size();
        const QByteArray text = logTail_ + added;
        encodesStarted_ += static_cast<int>(text.count(kEncoderBanner));
        decodesStarted_ += static_cast<int>(text.count(kDecoderBanner));
        // Keep less than a banner, so that no banner is counted twice.
        logTail_ = text.right(kEncoderBanner.size() - 1);
    }
    // Without a log (or before the programs flush it), the outputs tell how
    // far the script has gone: the last file with a new output.
    for (int i = fileCount(); i >= 1 && 2 * i >= linesEnded_; --i) {
        const auto k = static_cast<std::size_t>(i - 1);
        if (fresh(items_[k].decoded, decodedBefore_[k])) {
            linesEnded_ = 2 * i;
            break;
        }
        if (fresh(items_[k].encoded, encodedBefore_[k])) {
            linesEnded_ = 2 * i - 1;
            break;
        }
    }
}

QString BatchMonitor::progressText() const {
    if (items_.empty()) return {};
    // The script's lines run in order: encode 1, decode 1, encode 2, ...
    // Line 2i-1 started when the i-th encoder banner appeared, line 2i with
    // the i-th decoder banner; a line whose output exists has ended.
    const int started = std::max(2 * encodesStarted_ - 1, 2 * decodesStarted_);
    const int line = std::clamp(std::max(started, linesEnded_ + 1), 1, 2 * fileCount());
    const int index = (line + 1) / 2;
    const QString name = QFile::decodeName(QByteArray::fromStdString(items_[index - 1].name));
    return (line % 2 == 0 ? QStringLiteral("decoding %1 of %2: %3")
                          : QStringLiteral("encoding %1 of %2: %3"))
        .arg(index)
        .arg(fileCount())
        .arg(name);
}

int BatchMonitor::doneCount() const {
    int done = 0;
    for (std::size_t k = 0; k < items_.size(); ++k) {
        done += fresh(items_[k].encoded, encodedBefore_[k]) &&
                fresh(items_[k].decoded, decodedBefore_[k]);
    }
    return done;
}

QString batchOutcomeText(int done, int files, const QString& logName) {
    const QString doneText =
        done == 1 ? QStringLiteral("1 file done") : QStringLiteral("%1 files done").arg(done);
    if (done == files) return doneText;
    QString text = QStringLiteral("%1, %2 failed").arg(doneText).arg(files - done);
    if (!logName.isEmpty()) text += QStringLiteral(" \u2014 see %1").arg(logName);
    return text;
}

}  // namespace qmz
