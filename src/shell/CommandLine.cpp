#include "shell/CommandLine.h"

#include "Version.h"

#include <algorithm>

using TRequest = TSingleInstance::TRequest;

TProgramOptions ParseProgramOptions(const QStringList& arguments) {
    TProgramOptions options;
    auto request = [&options](TRequest kind) {
        if (std::find(options.Requests.begin(), options.Requests.end(), kind) ==
            options.Requests.end())
            options.Requests.push_back(kind);
    };
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            options.Help = true;
        else if (argument == QLatin1String("--version"))
            options.Version = true;
        else if (argument == QLatin1String("--change-now"))
            request(TRequest::ChangeNow);
        else if (argument == QLatin1String("--show"))
            request(TRequest::Restore);
    }
    return options;
}

TProgramOptions ParseProgramOptions(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return ParseProgramOptions(arguments);
}

QString ProgramVersionText() {
    return QStringLiteral("tapestrix " TAPESTRIX_VERSION "\n");
}

QString ProgramHelpText() {
    return QStringLiteral(
        "Usage: tapestrix [/autostart] [--change-now] [--show]\n"
        "       tapestrix --version | --help\n"
        "\n"
        "Composes desktop wallpapers from pictures and colours and changes them on a schedule,\n"
        "living as an icon in the notification area. One instance runs per user: a later start\n"
        "hands its request to the running instance and ends.\n"
        "\n"
        "  /autostart     the start at logon (the \"Auto start\" entry); changes the wallpaper\n"
        "                 and may exit again as the main window's settings say; must come first\n"
        "  --change-now   change the background now to the next (or a random) preset, as the\n"
        "                 tray menu's \"Change background now\" does; starts Tapestrix for it\n"
        "                 when it is not running\n"
        "  --show         show the main window, starting Tapestrix when it is not running\n"
        "  --version      print the version and exit\n"
        "  --help         this text\n"
        "\n"
        "Without --change-now or --show, a start while Tapestrix runs shows its main window and\n"
        "ignores its arguments. Exit status: 0 when done, 1 when the running instance does not\n"
        "answer or the program cannot start.\n");
}

TSingleInstance::TStartResult StartOrForward(TSingleInstance& instance,
                                             const TProgramOptions& options) {
    const std::vector<TRequest> requests =
        options.Requests.empty() ? std::vector<TRequest>{TRequest::Restore} : options.Requests;
    const auto result = instance.Start(TSingleInstance::kConnectTimeoutMs,
                                       TSingleInstance::kAnswerTimeoutMs, requests.front());
    if (result != TSingleInstance::TStartResult::Forwarded)
        return result;
    for (size_t i = 1; i < requests.size(); ++i)
        if (TSingleInstance::SendRequest(instance.SocketPath(), TSingleInstance::kAnswerTimeoutMs,
                                         requests[i]) != TSingleInstance::TSendResult::Answered)
            return TSingleInstance::TStartResult::NoAnswer;
    return result;
}
