// Follows a started batch from the outside, through what the script itself
// leaves behind: the programs' banners in the log and the output files
// appearing in the destination. It knows nothing of the process; the window
// tells it when the batch has ended.
#pragma once

#include <QString>
#include <vector>

#include "script_builder.h"

namespace qmz {

class BatchMonitor {
  public:
    // Takes the picture of the outputs as they are before the start, so that
    // files left over from an earlier batch do not count as results.
    BatchMonitor(std::vector<BatchItem> items, QString logFile);

    // Reads what the log gained since the last call and looks for outputs.
    void update();

    // "encoding 3 of 10: name.wav" or "decoding 3 of 10: name.wav".
    QString progressText() const;

    // Files whose encoded and decoded outputs were both written by this batch.
    int doneCount() const;
    int fileCount() const { return static_cast<int>(items_.size()); }

  private:
    // Enough to tell a file rewritten or replaced since the picture.
    struct Stamp {
        bool exists = false;
        qint64 size = 0, modified = 0, changed = 0, id = 0;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const std::string& path);
    bool fresh(const std::string& path, const Stamp& before) const;

    std::vector<BatchItem> items_;
    std::vector<Stamp> encodedBefore_, decodedBefore_;
    QString logFile_;
    qint64 logOffset_ = 0;
    QByteArray logTail_;  // the end of the last read, for a banner cut in two
    int encodesStarted_ = 0, decodesStarted_ = 0;
    int linesEnded_ = 0;  // script lines up to the last one whose output exists
};

// The closing words of a batch of files of which done succeeded.
QString batchOutcomeText(int done, int files, const QString& logName);

}  // namespace qmz
