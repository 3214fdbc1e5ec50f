#include "app/ProgramArguments.h"

#include "check/CheckReport.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <memory>
#include <utility>

namespace corvane {

namespace {

struct Options {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and end.")};
    QCommandLineOption version{QStringLiteral("version"), QStringLiteral("Show the version and end.")};
    QCommandLineOption folder{QStringLiteral("folder"),
                              QStringLiteral("The folder of Corvane.ini, the Logs folder and the Spool folder (default: the "
                                             "executable's folder)."),
                              QStringLiteral("dir")};
    QCommandLineOption check{QStringLiteral("check"),
                             QStringLiteral("Check the sending account in Corvane.ini step by step up to the "
                                            "recipients, send nothing and end with the exit code of the first "
                                            "failing stage.")};
    QCommandLineOption list{QStringLiteral("list"),
                            QStringLiteral("With --check: the recipients of list n (1 to 8) only; default: every "
                                           "list with addresses."),
                            QStringLiteral("n")};
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("With --check: print one JSON object.")};
    QCommandLineOption caFile{QStringLiteral("ca-file"),
                              QStringLiteral("With --check: trust the authorities in this PEM file besides the "
                                             "system's store, instead of CA_File (SMTP, POP3 and token servers)."),
                              QStringLiteral("file")};
    QCommandLineOption timeout{QStringLiteral("timeout"),
                               QStringLiteral("With --check: wait at most this long for a connection or an answer "
                                              "(default: as the service, 30 s to connect, 60 s for an answer)."),
                               QStringLiteral("seconds")};

    QCommandLineOption installService{QStringLiteral("install-service"),
                                      QStringLiteral("Windows: register Corvane as a service that starts with the "
                                                     "system and runs as LocalService, with --folder as its folder "
                                                     "(default: the executable's), and end.")};
    QCommandLineOption uninstallService{QStringLiteral("uninstall-service"),
                                        QStringLiteral("Windows: stop and remove the service, keeping its "
                                                       "settings, logs and queue, and end.")};
    QCommandLineOption status{QStringLiteral("status"),
                              QStringLiteral("Windows: show whether the service runs and its status line, and end.")};

    void addTo(QCommandLineParser &parser) const
    {
        parser.setApplicationDescription(
            QStringLiteral("Corvane turns notification datagrams (UDP port 1095) into e-mail messages.\n"
                           "Without options it runs as the service."));
        parser.addOptions({help, version, folder, check, list, json, caFile, timeout, installService,
                           uninstallService, status});
    }
};

ProgramArguments refused(const QString &text)
{
    ProgramArguments arguments;
    arguments.action = ProgramArguments::Action::Error;
    arguments.error = text;
    return arguments;
}

} // namespace

ProgramArguments ProgramArguments::parse(const QStringList &arguments)
{
    const Options o;
    QCommandLineParser parser;
    o.addTo(parser);
    if (!parser.parse(arguments))
        return refused(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refused(QStringLiteral("Unexpected argument \"%1\".").arg(parser.positionalArguments().constFirst()));

    ProgramArguments result;
    if (parser.isSet(o.help)) {
        result.action = Action::Help;
        return result;
    }
    if (parser.isSet(o.version)) {
        result.action = Action::Version;
        return result;
    }
    result.folder = parser.value(o.folder);
    if (parser.isSet(o.folder) && result.folder.isEmpty())
        return refused(QStringLiteral("--folder needs a folder."));
    const bool check = parser.isSet(o.check);
    const std::pair<const QCommandLineOption *, Action> services[] = {
        {&o.installService, Action::InstallService},
        {&o.uninstallService, Action::UninstallService},
        {&o.status, Action::Status},
    };
    for (const auto &[option, action] : services) {
        if (!parser.isSet(*option))
            continue;
        const QString name = option->names().constFirst();
        for (const QCommandLineOption *other : {&o.check, &o.installService, &o.uninstallService, &o.status}) {
            if (other != option && parser.isSet(*other))
                return refused(QStringLiteral("--%1 and --%2 go separately.").arg(name, other->names().constFirst()));
        }
        if (action != Action::InstallService && parser.isSet(o.folder))
            return refused(QStringLiteral("--folder does not go with --%1.").arg(name));
        result.action = action;
        break;
    }
    for (const QCommandLineOption *option : {&o.list, &o.json, &o.caFile, &o.timeout}) {
        if (!check && parser.isSet(*option))
            return refused(QStringLiteral("--%1 belongs with --check.").arg(option->names().constFirst()));
    }
    if (result.action == Action::Run)
        result.action = check ? Action::Check : Action::Run;
    if (parser.isSet(o.list)) {
        bool ok = false;
        result.list = parser.value(o.list).toInt(&ok);
        if (!ok || result.list < 1 || result.list > 8)
            return refused(QStringLiteral("--list takes a list number from 1 to 8."));
    }
    result.json = parser.isSet(o.json);
    result.caFile = parser.value(o.caFile);
    if (parser.isSet(o.timeout)) {
        bool ok = false;
        const int seconds = parser.value(o.timeout).toInt(&ok);
        if (!ok || seconds < 1 || seconds > 3600)
            return refused(QStringLiteral("--timeout takes a number of seconds from 1 to 3600."));
        result.timeoutSeconds = seconds;
    }
    return result;
}

QString ProgramArguments::helpText()
{
    const Options o;
    QCommandLineParser parser;
    o.addTo(parser);
    return parser.helpText() + QStringLiteral("\nExit codes of --check:\n") + CheckReport::exitCodeTable();
}

QString ProgramArguments::versionText()
{
    return QStringLiteral("corvane %1\n").arg(QStringLiteral(CORVANE_VERSION));
}

} // namespace corvane
