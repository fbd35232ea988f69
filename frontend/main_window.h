// Form1: the front-end's one window. The user picks WAV files in a source
// directory, a destination directory, a quality preset and a clip length;
// "Start Encoding" writes the batch script into the working directory and
// starts it without waiting. A status line under the form says where the
// script goes, how far the batch has got and how it ended.
#pragma once

#include <QButtonGroup>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "batch_monitor.h"
#include "path_lists.h"
#include "script_builder.h"

namespace qmz {

class Form1 : public QWidget {
    Q_OBJECT
  public:
    // Starts the written script (its file name, the directory it lies in)
    // and gives the started process's id (0 when there is none to watch);
    // returns false with a message on failure.
    using ScriptStarter = std::function<bool(const QString& scriptName, const QString& workDir,
                                             qint64* pid, QString* error)>;
    // Asks the user a question before something is overwritten; true to go on.
    using Confirmation = std::function<bool(const QString& question)>;
    // Shows a file (the log) with the desktop's viewer.
    using FileOpener = std::function<void(const QString& file)>;

    explicit Form1(QWidget* parent = nullptr);

    // Directory put in front of PATH for the started script; the program's
    // own directory by default.
    void setToolDirectory(const QString& dir) { toolDir_ = dir; }
    // Replaces the way the script is started (the default starts it detached).
    void setScriptStarter(ScriptStarter starter) { starter_ = std::move(starter); }
    // Replace the message box and the desktop viewer (tests do).
    void setConfirmation(Confirmation confirm) { confirm_ = std::move(confirm); }
    void setFileOpener(FileOpener opener) { opener_ = std::move(opener); }

    int presetRow() const { return presetGroup_->checkedId(); }  // -1 if none
    int clipRow() const { return clipGroup_->checkedId(); }      // -1 if none
    // What "Start Encoding" would write now.
    ScriptRequest scriptRequest() const;
    // The whole text of the status line (the label may show it shortened).
    QString statusText() const { return status_; }
    bool batchRunning() const { return batch_ != nullptr; }

  public slots:
    // The handler of "Start Encoding": checks the request, asks before
    // overwriting, writes the script into the working directory (replacing
    // any earlier one) and starts it. False when nothing was started.
    bool writeAndStartScript();

  protected:
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void buildControls();
    void buildStatusLine();
    void setFocusOrder();
    void refillFileList(const QString& dir);
    void refreshLists();
    void watchDirectories();
    void updateSelectionCounter();
    void setStatus(const QString& text);
    void showIdleStatus();
    QString refusal(const ScriptRequest& request) const;
    bool confirmOutputs(const ScriptRequest& request);
    void pollBatch();
    QRect twips(int left, int top, int width, int height) const;

    DriveList* drive1_ = nullptr;
    DirectoryList* dir1_ = nullptr;
    QListWidget* file1_ = nullptr;
    QLabel* selCount_ = nullptr;
    DriveList* drive2_ = nullptr;
    DirectoryList* dir2_ = nullptr;
    QButtonGroup* presetGroup_ = nullptr;
    QButtonGroup* clipGroup_ = nullptr;
    QLabel* statusLine_ = nullptr;
    QPushButton* openLog_ = nullptr;
    QString status_;
    bool refilling_ = false;
    QString toolDir_;
    ScriptStarter starter_;
    Confirmation confirm_;
    FileOpener opener_;
    QFileSystemWatcher watcher_;
    QTimer listRefresh_;  // gathers a burst of directory changes into one
    QTimer batchPoll_;
    std::unique_ptr<BatchMonitor> batch_;  // while a batch started here runs
    qint64 batchPid_ = 0;
    QString workDir_;
};

// The counter text for count selected files.
QString selectionCounterText(int count);

}  // namespace qmz
