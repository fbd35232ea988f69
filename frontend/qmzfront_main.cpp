// qmzfront: the batch front-end window, or with --print-script the script
// text on standard output without opening a window.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "main_window.h"
#include "script_args.h"
#include "script_builder.h"

namespace {

int printScript(const std::vector<std::string>& args) {
    const qmz::PrintScriptArgs parsed = qmz::parsePrintScriptArgs(args);
    if (parsed.error == qmz::ArgsError::emptyPath) {
        std::fprintf(stderr, "qmzfront: %s needs a directory, not an empty text\n%s",
                     parsed.offending.c_str(), qmz::printScriptUsage());
        return 2;
    }
    if (parsed.error != qmz::ArgsError::none) {
        std::fprintf(stderr, "qmzfront: bad argument '%s'\n%s", parsed.offending.c_str(),
                     qmz::printScriptUsage());
        return 2;
    }
    const qmz::ScriptResult script = qmz::buildScript(parsed.request);
    if (script.error != qmz::ScriptError::none) {
        std::fprintf(stderr,
                     "qmzfront: a name or path holds \", CR or LF, which a batch file "
                     "cannot quote\n");
        return 1;
    }
    const std::size_t n = std::fwrite(script.text.data(), 1, script.text.size(), stdout);
    return (n == script.text.size() && std::fflush(stdout) == 0) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (qmz::wantsPrintScript(args)) return printScript(args);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(qmz::programUsage(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    // --grab FILE: save a picture of the window and exit (for the docs).
    QString grabFile;
    QApplication app(argc, argv);
    const QStringList qtArgs = QApplication::arguments();
    const qsizetype grabAt = qtArgs.indexOf(QStringLiteral("--grab"));
    if (grabAt > 0 && grabAt + 1 < qtArgs.size()) grabFile = qtArgs[grabAt + 1];

    qmz::Form1 window;
    window.show();
    if (!grabFile.isEmpty()) {
        QApplication::processEvents();
        return window.grab().save(grabFile) ? 0 : 1;
    }
    return QApplication::exec();
}
