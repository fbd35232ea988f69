// Form1: the front-end's one window. The user picks WAV files in a source
// directory, a destination directory, a quality preset and a clip length;
// "Start Encoding" writes the batch script into the working directory and
// starts it without waiting.
#pragma once

#include <QButtonGroup>
#include <QLabel>
#include <QListWidget>
#include <QString>
#include <QWidget>
#include <functional>

#include "path_lists.h"
#include "script_builder.h"

namespace qmz {

class Form1 : public QWidget {
    Q_OBJECT
  public:
    // Starts the written script (its file name, the directory it lies in);
    // returns false with a message on failure.
    using ScriptStarter =
        std::function<bool(const QString& scriptName, const QString& workDir, QString* error)>;

    explicit Form1(QWidget* parent = nullptr);

    // Directory put in front of PATH for the started script; the program's
    // own directory by default.
    void setToolDirectory(const QString& dir) { toolDir_ = dir; }
    // Replaces the way the script is started (the default starts it detached).
    void setScriptStarter(ScriptStarter starter) { starter_ = std::move(starter); }

    int presetRow() const { return presetGroup_->checkedId(); }  // -1 if none
    int clipRow() const { return clipGroup_->checkedId(); }      // -1 if none
    // What "Start Encoding" would write now.
    ScriptRequest scriptRequest() const;

  public slots:
    // The handler of "Start Encoding": writes the script into the working
    // directory, replacing any earlier one, and starts it.
    bool writeAndStartScript();

  private:
    void buildControls();
    void setFocusOrder();
    void refillFileList(const QString& dir);
    void updateSelectionCounter();
    QRect twips(int left, int top, int width, int height) const;

    DriveList* drive1_ = nullptr;
    DirectoryList* dir1_ = nullptr;
    QListWidget* file1_ = nullptr;
    QLabel* selCount_ = nullptr;
    DriveList* drive2_ = nullptr;
    DirectoryList* dir2_ = nullptr;
    QButtonGroup* presetGroup_ = nullptr;
    QButtonGroup* clipGroup_ = nullptr;
    bool refilling_ = false;
    QString toolDir_;
    ScriptStarter starter_;
};

// The counter text for count selected files.
QString selectionCounterText(int count);

}  // namespace qmz
