#include "simhostoptions.h"

#include <QCommandLineParser>

namespace {

// Reads an integer option into value when given; false when it is no number in [low, high].
bool readInt(const QCommandLineParser &parser, const QString &name, int low, int high, int &value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int read = parser.value(name).toInt(&ok, 0);
    if (!ok || read < low || read > high)
        return false;
    value = read;
    return true;
}

QString outOfRange(const QString &name, const QString &range)
{
    return QStringLiteral("--%1 needs %2").arg(name, range);
}

} // namespace

QString SimHostOptions::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QStringList valued = {"plugins", "webapp", "seed",      "latency", "success-rate",
                                "plugin",  "node",   "seconds",   "mode",    "group",
                                "delay",   "touch",  "screenshot"};
    for (const QString &name : valued)
        parser.addOption(QCommandLineOption(name, QString(), QStringLiteral("value")));
    parser.addOption(QCommandLineOption(QStringList{"h", "help"}));
    parser.addOption(QCommandLineOption("headless"));

    if (!parser.parse(arguments))
        return parser.errorText();
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first());
    help = parser.isSet("help");
    if (help)
        return QString();

    pluginDir = parser.value("plugins");
    webAppDir = parser.value("webapp");
    if (parser.isSet("seed")) {
        bool ok = false;
        seed = parser.value("seed").toUInt(&ok, 0);
        if (!ok)
            return outOfRange("seed", "a number from 0 to 4294967295");
        seeded = true;
    }
    if (!readInt(parser, "latency", 0, 60000, latency))
        return outOfRange("latency", "milliseconds from 0 to 60000");
    if (!readInt(parser, "success-rate", 0, 100, successRate))
        return outOfRange("success-rate", "a percentage from 0 to 100");

    headless = parser.isSet("headless");
    plugin = parser.value("plugin");
    if (!readInt(parser, "node", 1, 1000, node))
        return outOfRange("node", "a node number from the node list, starting at 1");
    if (parser.isSet("seconds")) {
        bool ok = false;
        seconds = parser.value("seconds").toDouble(&ok);
        if (!ok || seconds < 0.5 || seconds > 3600)
            return outOfRange("seconds", "a duration from 0.5 to 3600");
    }
    mode = parser.value("mode");
    if (!mode.isEmpty() && !QStringList{"routers", "all", "group", "unicast"}.contains(mode))
        return outOfRange("mode", "one of routers, all, group, unicast");
    group = parser.value("group");
    if (parser.isSet("group")) {
        if (mode.isEmpty())
            mode = QStringLiteral("group");
        if (mode != QLatin1String("group"))
            return QStringLiteral("--group goes with --mode group");
    }
    if (!readInt(parser, "delay", 10, 10000, delay))
        return outOfRange("delay", "milliseconds from 10 to 10000");
    touchFile = parser.value("touch");
    screenshotDir = parser.value("screenshot");

    const QStringList signalTestOptions = {"plugin", "node", "seconds", "mode", "group", "delay"};
    for (const QString &name : signalTestOptions + QStringList{"touch"}) {
        if (parser.isSet(name) && !headless)
            return QStringLiteral("--%1 goes with --headless").arg(name);
    }
    if (headless && plugin.isEmpty() && webAppDir.isEmpty())
        return QStringLiteral("--headless needs --plugin NAME or --webapp DIR");
    if (!touchFile.isEmpty() && (webAppDir.isEmpty() || !plugin.isEmpty()))
        return QStringLiteral("--touch goes with --webapp and without --plugin");
    if (headless && !screenshotDir.isEmpty())
        return QStringLiteral("--screenshot does not go with --headless");
    return QString();
}

QString SimHostOptions::usage()
{
    return QStringLiteral(
        "Usage: halvik-simhost [options]\n"
        "A host for the host plug-ins with a simulated Zigbee network.\n"
        "\n"
        "  --plugins DIR        load the plug-ins in DIR (default: ../plugins next to the "
        "program)\n"
        "  --webapp DIR         the web-app directory the host serves (string parameter 1;\n"
        "                       default: an empty private directory)\n"
        "  --seed N             seed of the simulated radio figures and losses (default: "
        "random)\n"
        "  --latency MS         delay of each confirm and answer (default 30)\n"
        "  --success-rate PCT   share of frames confirmed successfully (default 90)\n"
        "  --screenshot DIR     save the host with each signal test dialog in mid-test to\n"
        "                       DIR/simhost-<plug-in>.png and exit\n"
        "  -h, --help           print this help\n"
        "\n"
        "Headless signal test (no display needed), prints the dialog's figures every 0.5 s:\n"
        "  --headless --plugin NAME [--node N] [--seconds S] [--mode MODE] [--group G]\n"
        "             [--delay MS]\n"
        "                       NAME: ondrel, kal, or another plug-in's file name without\n"
        "                       lib and _plugin; N: node number, default 1; S: default 3;\n"
        "                       MODE: routers, all, group or unicast (ondrel only);\n"
        "                       G: group address as typed in the dialog (implies group)\n"
        "\n"
        "Headless web-app run:\n"
        "  --headless --webapp DIR [--touch FILE] [--seconds S]\n"
        "                       runs S seconds (use 5 or more to see a rebuild) and rewrites\n"
        "                       FILE after 0.5 s so that the template plug-in notices it\n");
}
