#include "weftfixture.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Assets with their version suffixes ("?" and the first six hex digits of their SHA-1).
const QByteArray mainCss = "body { color: red; }\n"; // ?18f89e
const QByteArray printCss = "p { margin: 0; }\n";    // ?a4f00b
const QByteArray appJs = "var a = 1;\n";             // ?17384c
const QByteArray dataJs = "var data = [];\n";        // ?83c3fa
const QByteArray manifestSource = "CACHE MANIFEST\n# templ-auto-generate\nNETWORK:\n*\n";
const QByteArray manifestPage = "<html manifest=\"app.appcache\">\n";

Files assets()
{
    return {{"www/css/main.css", mainCss},
            {"www/css/print.css", printCss},
            {"www/app.js", appJs},
            {"www-src/app.appcache", manifestSource}};
}

// The served manifest listing the given entries after the marker.
QByteArray manifest(const QByteArrayList &entries)
{
    QByteArray text = "CACHE MANIFEST\n# templ-auto-generate\n";
    for (const QByteArray &entry : entries)
        text += entry + '\n';
    return text + "\nNETWORK:\n*\n";
}

// A line of exactly `length` bytes, line feed included, that starts with a reference.
QByteArray paddedReferenceLine(int length)
{
    QByteArray line = "<link href=\"css/main.css\">";
    return line + QByteArray(length - line.size() - 1, 'x') + '\n';
}

// A reference to css/main.css spelt with leading "./" parts to the given length.
QByteArray longReference(int length)
{
    const QByteArray tail = "css/main.css";
    QByteArray name;
    while (name.size() + tail.size() < length)
        name += "./";
    return name + tail;
}

// Index pages that include each other in a chain: i1.inc includes i2.inc and so on.
Files includeChain(int length)
{
    Files files{{"www-src/index.html", "<!-- templ-include: i1.inc -->\n"}};
    for (int i = 1; i < length; ++i)
        files.insert(QString("www-src/i%1.inc").arg(i),
                     QString("%1\n<!-- templ-include: i%2.inc -->\n").arg(i).arg(i + 1).toLatin1());
    files.insert(QString("www-src/i%1.inc").arg(length), "end\n");
    return files;
}

// While it exists, files of the process cannot grow beyond `bytes`, as on a full disk: a
// write beyond fails with "File too large" instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes) : oldHandler(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit limit{bytes, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }

private:
    rlimit old;
    void (*const oldHandler)(int);
};

// "1" to "n", one a line.
QByteArray numberLines(int n)
{
    QByteArray text;
    for (int i = 1; i <= n; ++i)
        text += QByteArray::number(i) + '\n';
    return text;
}

// Compares every expected file byte for byte, each generated meta line reduced to "<meta>",
// and finds no temporary file left.
void compareFiles(const WeftFixture &app, const Files &expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QByteArray actual = app.read(it.key());
        if (it.value().isNull())
            QVERIFY2(actual.isNull(), qPrintable(it.key() + " exists"));
        else
            QCOMPARE(withoutTimes(actual), it.value());
    }
    QCOMPARE(app.temporaryFiles(), QStringList());
}

} // namespace

class TestWeftRebuild : public QObject
{
    Q_OBJECT

private slots:
    void includes_data();
    void includes() { expand(); }
    void skipRegions_data();
    void skipRegions() { expand(); }
    void headAndLineEndings_data();
    void headAndLineEndings() { expand(); }
    void manifestAttribute_data();
    void manifestAttribute() { expand(); }
    void manifestMarker_data();
    void manifestMarker() { expand(); }
    void versioning_data();
    void versioning() { expand(); }
    void lineBuffer_data();
    void lineBuffer() { expand(); }
    void pagesThatCannotBeWritten_data();
    void pagesThatCannotBeWritten() { expand(); }
    void inputsThatAreNotRead_data();
    void inputsThatAreNotRead() { expand(); }
    void failedWritesKeepTheServedFiles_data();
    void failedWritesKeepTheServedFiles();
    void filesChangedDuringTheRebuild_data();
    void filesChangedDuringTheRebuild();
    void unnamedFilesAreNotRead();

    void metaLineCarriesTheTemplateTimes();
    void referencesJoinTheWatchList();
    void unchangedSourcesRebuildIdentically();
    void changedStylesheetChangesOnlyItsReferences();
    void sysfsFilesAreNotRead();
    void includesPerPageAreBounded();

private:
    void addColumns();
    void expand(rlim_t fileSizeLimit = RLIM_INFINITY);
};

void TestWeftRebuild::addColumns()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<Files>("expected");     // a null content: the file must not exist
    QTest::addColumn<QByteArrayList>("log"); // everything printed; "@" is the fixture's root
}

// Writes the row's files, rebuilds once, with files limited to fileSizeLimit bytes, and
// compares the files and what was printed.
void TestWeftRebuild::expand(rlim_t fileSizeLimit)
{
    QFETCH(Files, files);
    QFETCH(Files, expected);
    QFETCH(QByteArrayList, log);

    WeftFixture app;
    QVERIFY(app.write(files));
    QVERIFY2(app.load(), qPrintable(app.loader.errorString()));
    QByteArrayList printed;
    {
        const FileSizeLimit limit(fileSizeLimit);
        printed = app.rebuild();
    }

    compareFiles(app, expected);
    if (QTest::currentTestFailed())
        return;
    if (!log.isEmpty()) {
        QByteArrayList expectedLog;
        for (const QByteArray &text : log)
            expectedLog << app.message(text);
        QCOMPARE(printed, expectedLog);
    }
}

void TestWeftRebuild::includes_data()
{
    addColumns();
    const QByteArray rebuilding = "process templates @/www-src\n";
    const QByteArray index = "process @/www-src/index.html\n";
    const QByteArray header = "process @/www-src/header.inc\n";

    QTest::newRow("include") << Files{{"www-src/index.html",
                                       "<html>\n<!-- templ-include: header.inc -->\n</html>\n"},
                                      {"www-src/header.inc", "<h1>Title</h1>\n"}}
                             << Files{{"www/index.html", "<html>\n<h1>Title</h1>\n</html>\n"}}
                             << QByteArrayList{rebuilding, index, header};
    QTest::newRow("extra white space")
        << Files{{"www-src/index.html", "a\n  <!--templ-include:\t\v header.inc \f\t-->  \nb\n"},
                 {"www-src/header.inc", "H\n"}}
        << Files{{"www/index.html", "a\nH\nb\n"}} << QByteArrayList{rebuilding, index, header};
    QTest::newRow("white space inside the name")
        << Files{{"www-src/index.html", "<!-- templ-include: my part.inc -->\n"},
                 {"www-src/my part.inc", "P\n"}}
        << Files{{"www/index.html", "P\n"}}
        << QByteArrayList{rebuilding, index, "process @/www-src/my part.inc\n"};
    QTest::newRow("nested") << Files{{"www-src/index.html",
                                      "x\n<!-- templ-include: a.inc -->\ny\n"},
                                     {"www-src/a.inc", "A1\n<!-- templ-include: b.inc -->\nA2\n"},
                                     {"www-src/b.inc", "B\n"}}
                            << Files{{"www/index.html", "x\nA1\nB\nA2\ny\n"}} << QByteArrayList();
    QTest::newRow("names resolve against the source directory")
        << Files{{"www-src/index.html", "<!-- templ-include: parts/a.inc -->\n"},
                 {"www-src/parts/a.inc", "<!-- templ-include: b.inc -->\n"},
                 {"www-src/parts/b.inc", "nested b\n"},
                 {"www-src/b.inc", "top b\n"}}
        << Files{{"www/index.html", "top b\n"}} << QByteArrayList();
    // A page that stops at an invalid include is cut short: the served page stays.
    QTest::newRow("no name") << Files{{"www-src/index.html",
                                       "before\n<!-- templ-include:   -->\nafter\n"},
                                      {"www/index.html", "served before\n"}}
                             << Files{{"www/index.html", "served before\n"}}
                             << QByteArrayList{rebuilding, index,
                                               "invalid include file\n<!-- templ-include:"};
    QTest::newRow("one-byte name")
        << Files{{"www-src/index.html", "before\n<!-- templ-include: a -->\nafter\n"},
                 {"www-src/a", "A\n"}}
        << Files{{"www/index.html", QByteArray()}}
        << QByteArrayList{rebuilding, index, "invalid include file\n<!-- templ-include: a"};
    QTest::newRow("two-byte name")
        << Files{{"www-src/index.html", "<!-- templ-include: ab -->\n"}, {"www-src/ab", "AB\n"}}
        << Files{{"www/index.html", "AB\n"}} << QByteArrayList();
    QTest::newRow("no end of comment")
        << Files{{"www-src/index.html", "before\n<!-- templ-include: header.inc\nafter\n"},
                 {"www-src/header.inc", "H\n"},
                 {"www/index.html", "served before\n"}}
        << Files{{"www/index.html", "served before\n"}}
        << QByteArrayList{rebuilding, index,
                          "invalid include file\n<!-- templ-include: header.inc\n"};
    QTest::newRow("invalid include in an included file")
        << Files{{"www-src/index.html", "x\n<!-- templ-include: a.inc -->\ny\n"},
                 {"www-src/a.inc", "a1\n<!-- templ-include: -->\na2\n"}}
        << Files{{"www/index.html", QByteArray()}} << QByteArrayList();
    QTest::newRow("missing included file")
        << Files{{"www-src/index.html", "x\n<!-- templ-include: gone.inc -->\ny\n"}}
        << Files{{"www/index.html", "x\ny\n"}}
        << QByteArrayList{
               rebuilding, index,
               "failed to open file @/www-src/gone.inc for read No such file or directory\n",
               "process @/www-src/gone.inc\n"};
    QTest::newRow("sixteen levels are followed")
        << includeChain(16) << Files{{"www/index.html", numberLines(15) + "end\n"}}
        << QByteArrayList();
    QTest::newRow("the seventeenth level is not followed")
        << includeChain(17) << Files{{"www/index.html", numberLines(16)}} << QByteArrayList();
    QTest::newRow("a template including itself")
        << Files{{"www-src/index.html", "a\n<!-- templ-include: index.html -->\nb\n"}}
        << Files{{"www/index.html",
                  QByteArray("a\n").repeated(17) + QByteArray("b\n").repeated(17)}}
        << QByteArrayList{rebuilding,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          index,
                          "include nested deeper than 16\n<!-- templ-include: index.html -->\n"};
    QTest::newRow("templates including each other")
        << Files{{"www-src/index.html", "<!-- templ-include: x.inc -->\nend\n"},
                 {"www-src/x.inc", "x\n<!-- templ-include: y.inc -->\n"},
                 {"www-src/y.inc", "y\n<!-- templ-include: x.inc -->\n"}}
        << Files{{"www/index.html", QByteArray("x\ny\n").repeated(8) + "end\n"}}
        << QByteArrayList();
}

void TestWeftRebuild::skipRegions_data()
{
    addColumns();
    QTest::newRow("region dropped with its markers")
        << Files{{"www-src/index.html",
                  "a\n<!-- templ-skip-start -->\nb\n<!-- c -->\n<!-- templ-skip-end -->\nd\n"}}
        << Files{{"www/index.html", "a\nd\n"}} << QByteArrayList();
    QTest::newRow("include inside not followed")
        << Files{{"www-src/index.html", "a\n<!-- templ-skip-start -->\n"
                                        "<!-- templ-include: header.inc -->\n"
                                        "<!-- templ-skip-end -->\nb\n"},
                 {"www-src/header.inc", "H\n"}}
        << Files{{"www/index.html", "a\nb\n"}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n"};
    QTest::newRow("head inside still written with its meta line")
        << Files{{"www-src/index.html", "<!-- templ-skip-start -->\n<head>\nx\n"
                                        "<!-- templ-skip-end -->\ny\n"}}
        << Files{{"www/index.html", "<head>\n<meta>\r\ny\n"}} << QByteArrayList();
    QTest::newRow("start without comment is an ordinary line")
        << Files{{"www-src/index.html", "a templ-skip-start\nb\ntempl-skip-end\n"}}
        << Files{{"www/index.html", "a templ-skip-start\nb\ntempl-skip-end\n"}} << QByteArrayList();
    QTest::newRow("end without start is dropped")
        << Files{{"www-src/index.html", "<!-- templ-skip-end -->\nx\n"}}
        << Files{{"www/index.html", "x\n"}} << QByteArrayList();
    QTest::newRow("start wins over end on one line")
        << Files{{"www-src/index.html",
                  "a\n<!-- templ-skip-start templ-skip-end -->\nb\n<!-- templ-skip-end -->\nc\n"}}
        << Files{{"www/index.html", "a\nc\n"}} << QByteArrayList();
    QTest::newRow("region ends with its file")
        << Files{{"www-src/index.html", "<!-- templ-include: a.inc -->\nafter\n"},
                 {"www-src/a.inc", "a\n<!-- templ-skip-start -->\nhidden\n"}}
        << Files{{"www/index.html", "a\nafter\n"}} << QByteArrayList();
    QTest::newRow("references inside still listed")
        << (assets() + Files{{"www-src/index.html", manifestPage + "<!-- templ-skip-start -->\n"
                                                                   "<link href=\"css/main.css\">\n"
                                                                   "<!-- templ-skip-end -->\n"}})
        << Files{{"www/index.html", manifestPage},
                 {"www/app.appcache", manifest({"css/main.css?18f89e", "index.html"})}}
        << QByteArrayList();
}

void TestWeftRebuild::headAndLineEndings_data()
{
    addColumns();
    QTest::newRow("line feeds")
        << Files{{"www-src/index.html", "<html>\n<head>\n<title>t</title>\n"}}
        << Files{{"www/index.html", "<html>\n<head>\n<meta>\r\n<title>t</title>\n"}}
        << QByteArrayList();
    QTest::newRow("carriage return and line feed")
        << Files{{"www-src/index.html", "<html>\r\n<head>\r\n<title>t</title>\r\n"}}
        << Files{{"www/index.html", "<html>\r\n<head>\r\n<meta>\r\n<title>t</title>\r\n"}}
        << QByteArrayList();
    QTest::newRow("head amid other text")
        << Files{{"www-src/index.html", "<html><head><title>t</title>\n"}}
        << Files{{"www/index.html", "<html><head><title>t</title>\n<meta>\r\n"}}
        << QByteArrayList();
    QTest::newRow("head with attributes")
        << Files{{"www-src/index.html", "<head lang=\"en\">\n"}}
        << Files{{"www/index.html", "<head lang=\"en\">\n"}} << QByteArrayList();
    QTest::newRow("head in a comment")
        << Files{{"www-src/index.html", "<!-- <head> -->\n"}}
        << Files{{"www/index.html", "<!-- <head> -->\n"}} << QByteArrayList();
    QTest::newRow("head in an included file")
        << Files{{"www-src/index.html", "<html>\n<!-- templ-include: head.inc -->\n"},
                 {"www-src/head.inc", "<head>\n"}}
        << Files{{"www/index.html", "<html>\n<head>\n<meta>\r\n"}} << QByteArrayList();
    QTest::newRow("head line not versioned")
        << (assets() + Files{{"www-src/index.html", "<head><link href=\"css/main.css\">\n"}})
        << Files{{"www/index.html", "<head><link href=\"css/main.css\">\n<meta>\r\n"}}
        << QByteArrayList();
    QTest::newRow("no line end at the end")
        << Files{{"www-src/index.html", "a\r\nb"}} << Files{{"www/index.html", "a\r\nb"}}
        << QByteArrayList();
    QTest::newRow("empty template")
        << Files{{"www-src/index.html", ""}} << Files{{"www/index.html", ""}} << QByteArrayList();
}

void TestWeftRebuild::manifestAttribute_data()
{
    addColumns();
    const Files source{{"www-src/app.appcache", manifestSource}};
    QTest::newRow("html start tag")
        << (source + Files{{"www-src/index.html", manifestPage + "<body>\n"}})
        << Files{{"www/index.html", manifestPage + "<body>\n"},
                 {"www/app.appcache", manifest({"index.html"})}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n",
                          "process appcache app.appcache\n", "    index.html\n"};
    QTest::newRow("not on a head line")
        << (source + Files{{"www-src/index.html", "<html manifest=\"app.appcache\"><head>\n"}})
        << Files{{"www/app.appcache", QByteArray()}} << QByteArrayList();
    QTest::newRow("not on a comment line")
        << (source + Files{{"www-src/index.html", "<!-- " + manifestPage}})
        << Files{{"www/app.appcache", QByteArray()}} << QByteArrayList();
    QTest::newRow("an empty one is passed over")
        << (source + Files{{"www-src/index.html", "<html manifest=\"\">\n" + manifestPage}})
        << Files{{"www/app.appcache", manifest({"index.html"})}} << QByteArrayList();
    QTest::newRow("no closing quote")
        << (source + Files{{"www-src/index.html", "<html manifest=\"app.appcache>\n"}})
        << Files{{"www/app.appcache", QByteArray()}} << QByteArrayList();
    QTest::newRow("in an included file")
        << (source + Files{{"www-src/index.html", "<!-- templ-include: top.inc -->\n"},
                           {"www-src/top.inc", manifestPage}})
        << Files{{"www/app.appcache", manifest({"index.html"})}} << QByteArrayList();
    QTest::newRow("first across pages in listing order")
        << Files{{"www-src/B.html", "<html manifest=\"first.appcache\">\n"},
                 {"www-src/a.html", "<html manifest=\"second.appcache\">\n"},
                 {"www-src/c.html", "<html manifest=\"third.appcache\">\n"},
                 {"www-src/first.appcache", manifestSource},
                 {"www-src/second.appcache", manifestSource},
                 {"www-src/third.appcache", manifestSource}}
        << Files{{"www/first.appcache", QByteArray()},
                 {"www/second.appcache", manifest({"B.html", "a.html", "c.html"})},
                 {"www/third.appcache", QByteArray()}}
        << QByteArrayList{"process templates @/www-src\n",
                          "process @/www-src/a.html\n",
                          "process @/www-src/B.html\n",
                          "process @/www-src/c.html\n",
                          "process appcache second.appcache\n",
                          "    B.html\n",
                          "    a.html\n",
                          "    c.html\n"};
    QTest::newRow("pages only, matched regardless of case, hidden ones left out")
        << (assets() +
            Files{{"www-src/index.html", manifestPage + "<link href=\"css/main.css\">\n"},
                  {"www-src/Zebra.HTML", "<script src=\"app.js\"></script>\n"},
                  {"www-src/part.inc", "<link href=\"css/print.css\">\n"},
                  {"www-src/.hidden.html", "h\n"}})
        << Files{{"www/app.appcache",
                  manifest({"Zebra.HTML", "app.js?17384c", "css/main.css?18f89e", "index.html"})},
                 {"www/.hidden.html", QByteArray()},
                 {"www/part.inc", QByteArray()}}
        << QByteArrayList();
    QTest::newRow("source missing")
        << Files{{"www-src/index.html", "<html manifest=\"gone.appcache\">\n"}}
        << Files{{"www/gone.appcache", QByteArray()}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n",
                          "process appcache gone.appcache\n",
                          "failed to open file @/www-src/gone.appcache for read No such file or "
                          "directory\n"};
    // Climbing out, the name reaches the same file from both directories; opening the output
    // would empty the source before it is read.
    QTest::newRow("climbing into the source directory")
        << (source + Files{{"www-src/index.html", "<html manifest=\"../www-src/app.appcache\">\n"}})
        << Files{{"www-src/app.appcache", manifestSource}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n",
                          "process appcache ../www-src/app.appcache\n",
                          "manifest ../www-src/app.appcache outside @/www\n"};
    QTest::newRow("climbing above both directories")
        << Files{{"www-src/index.html", "<html manifest=\"sub/../../up.appcache\">\n"},
                 {"up.appcache", manifestSource}}
        << Files{{"up.appcache", manifestSource}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n",
                          "process appcache sub/../../up.appcache\n",
                          "manifest sub/../../up.appcache outside @/www\n"};
    // Replacing a file with the manifest is refused when the rebuild reads it or writes it.
    const QByteArray stylesheet = "/* # templ-auto-generate */\n";
    QTest::newRow("naming a file that the rebuild reads")
        << Files{{"www-src/index.html", "<html manifest=\"../www/css/main.css\">\n"},
                 {"www/css/main.css", stylesheet}}
        << Files{{"www/css/main.css", stylesheet}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n",
                          "process appcache ../www/css/main.css\n",
                          "refused to write @/www/../www/css/main.css: this rebuild reads it\n"};
    QTest::newRow("naming a page of the rebuild")
        << Files{{"www-src/index.html",
                  "<html manifest=\"index.html\">\n<!-- templ-include: part.inc -->\n"},
                 {"www-src/part.inc", "P\n"}}
        << Files{{"www/index.html", "<html manifest=\"index.html\">\nP\n"}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n",
                          "process @/www-src/part.inc\n", "process appcache index.html\n",
                          "refused to write @/www/index.html: a page of this rebuild\n"};
    // QSaveFile writes a page that is a dangling link where the link leads.
    QTest::newRow("naming where a page's dangling link leads")
        << (source + Files{{"www-src/about.html", "about\n"},
                           {"www-src/index.html", manifestPage},
                           {"www/about.html", symlinkTo("app.appcache")}})
        << Files{{"www/app.appcache", "about\n"}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/about.html\n",
                          "process @/www-src/index.html\n", "process appcache app.appcache\n",
                          "refused to write @/www/app.appcache: a page of this rebuild\n"};
    QTest::newRow("climbing back inside")
        << (source + Files{{"www-src/index.html", "<html manifest=\"sub/../app.appcache\">\n"},
                           {"www-src/sub/.keep", ""},
                           {"www/sub/.keep", ""}})
        << Files{{"www/app.appcache", manifest({"index.html"})}} << QByteArrayList();
}

void TestWeftRebuild::manifestMarker_data()
{
    addColumns();
    const QByteArray page = manifestPage;
    QTest::newRow("none: exact copy")
        << Files{{"www-src/index.html", page},
                 {"www-src/app.appcache", "CACHE MANIFEST\r\nindex.html\r\nNETWORK:\r\n*"}}
        << Files{{"www/app.appcache", "CACHE MANIFEST\r\nindex.html\r\nNETWORK:\r\n*"}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n",
                          "process appcache app.appcache\n"};
    QTest::newRow("two")
        << Files{{"www-src/index.html", page},
                 {"www-src/app.appcache", "# templ-auto-generate\nx\n# templ-auto-generate\n"}}
        << Files{{"www/app.appcache",
                  "# templ-auto-generate\nindex.html\n\nx\n# templ-auto-generate\nindex.html\n\n"}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/index.html\n",
                          "process appcache app.appcache\n", "    index.html\n",
                          "    index.html\n"};
    QTest::newRow("mid-line, carriage return kept")
        << Files{{"www-src/index.html", page},
                 {"www-src/app.appcache",
                  "CACHE MANIFEST\r\nfoo # templ-auto-generate bar\r\n*\r\n"}}
        << Files{{"www/app.appcache",
                  "CACHE MANIFEST\r\nfoo # templ-auto-generate bar\r\nindex.html\n\n*\r\n"}}
        << QByteArrayList();
    QTest::newRow("last line without line end")
        << Files{{"www-src/index.html", page},
                 {"www-src/app.appcache", "CACHE MANIFEST\n# templ-auto-generate"}}
        << Files{{"www/app.appcache", "CACHE MANIFEST\n# templ-auto-generate\nindex.html\n\n"}}
        << QByteArrayList();
    const QByteArray longMarkerLine = "# templ-auto-generate" + QByteArray(8191 - 21, 'x');
    QTest::newRow("marker in the first piece of a long line: entries follow that piece")
        << Files{{"www-src/index.html", page}, {"www-src/app.appcache", longMarkerLine + "tail\n"}}
        << Files{{"www/app.appcache", longMarkerLine + "index.html\n\ntail\n"}} << QByteArrayList();
    QTest::newRow("previous entries in the source are kept")
        << Files{{"www-src/index.html", page},
                 {"www-src/app.appcache", "# templ-auto-generate\nold.html\n"}}
        << Files{{"www/app.appcache", "# templ-auto-generate\nindex.html\n\nold.html\n"}}
        << QByteArrayList();
    QTest::newRow("sorted code unit by code unit")
        << Files{{"www-src/index.html", page},
                 {"www-src/_a.html", ""},
                 {"www-src/Ab.html", ""},
                 {"www-src/a-b.html", ""},
                 {"www-src/app.appcache", "# templ-auto-generate\n"}}
        << Files{{"www/app.appcache", "# templ-auto-generate\nAb.html\n_a.html\na-b.html\n"
                                      "index.html\n\n"}}
        << QByteArrayList();
}

void TestWeftRebuild::versioning_data()
{
    addColumns();
    auto row = [](const char *name, const QByteArray &line, const QByteArray &written,
                  const QByteArrayList &listed, const Files &extra = Files()) {
        QTest::newRow(name)
            << (assets() + extra + Files{{"www-src/index.html", manifestPage + line}})
            << Files{{"www/index.html", manifestPage + written},
                     {"www/app.appcache", manifest(listed + QByteArrayList{"index.html"})}}
            << QByteArrayList();
    };
    row("stylesheet", "<link rel=\"stylesheet\" href=\"css/main.css\">\n",
        "<link rel=\"stylesheet\" href=\"css/main.css?18f89e\">\n", {"css/main.css?18f89e"});
    row("script", "<script src=\"app.js\"></script>\r\n",
        "<script src=\"app.js?17384c\"></script>\r\n", {"app.js?17384c"});
    row("two stylesheets: the first", "<link href=\"css/main.css\"><link href=\"css/print.css\">\n",
        "<link href=\"css/main.css?18f89e\"><link href=\"css/print.css\">\n",
        {"css/main.css?18f89e"});
    row("stylesheet and script: the stylesheet",
        "<script src=\"app.js\"></script><link href=\"css/print.css\">\n",
        "<script src=\"app.js\"></script><link href=\"css/print.css?a4f00b\">\n",
        {"css/print.css?a4f00b"});
    row("data.json without data.js", "<script src=\"data.json\"></script>\n",
        "<script src=\"data.json\"></script>\n", {});
    row("data.json cut after .js", "<script src=\"data.json\"></script>\n",
        "<script src=\"data.js?83c3fa\"></script>\n", {"data.js?83c3fa"},
        Files{{"www/data.js", dataJs}});
    row("missing file", "<link href=\"css/gone.css\">\n", "<link href=\"css/gone.css\">\n", {});
    row("remote file", "<script src=\"https://cdn.example.com/lib.js\"></script>\n",
        "<script src=\"https://cdn.example.com/lib.js\"></script>\n", {});
    row("old suffix replaced", "<link href=\"css/main.css?0a1b2c\">\n",
        "<link href=\"css/main.css?18f89e\">\n", {"css/main.css?18f89e"});
    row("older query replaced", "<link href=\"css/main.css?v=2\" rel=\"stylesheet\">\n",
        "<link href=\"css/main.css?18f89e\" rel=\"stylesheet\">\n", {"css/main.css?18f89e"});
    row("no closing double quote", "<link href='css/main.css'>\n", "<link href='css/main.css'>\n",
        {});
    row("reference before href=", "<a class=\".css\" href=\"x\">\n",
        "<a class=\".css\" href=\"x\">\n", {});
    row("twice on a page, listed once",
        "<link href=\"css/main.css\">\n<link href=\"css/main.css\">\n",
        "<link href=\"css/main.css?18f89e\">\n<link href=\"css/main.css?18f89e\">\n",
        {"css/main.css?18f89e"});
    row("comment line", "<!-- <script src=\"app.js\"></script> -->\n",
        "<!-- <script src=\"app.js?17384c\"></script> -->\n", {"app.js?17384c"});
    row("in an included file", "<!-- templ-include: scripts.inc -->\n",
        "<script src=\"app.js?17384c\"></script>\n", {"app.js?17384c"},
        Files{{"www-src/scripts.inc", "<script src=\"app.js\"></script>\n"}});
    row("reference of 1024 bytes", "<link href=\"" + longReference(1024) + "\">\n",
        "<link href=\"" + longReference(1024) + "?18f89e\">\n", {longReference(1024) + "?18f89e"});
    row("reference longer than 1024 bytes", "<link href=\"" + longReference(1026) + "\">\n",
        "<link href=\"" + longReference(1026) + "\">\n", {});

    QTest::newRow("on several pages, listed once")
        << (assets() + Files{{"www-src/a.html", manifestPage + "<link href=\"css/main.css\">\n"},
                             {"www-src/b.html", "<link href=\"css/main.css\">\n"}})
        << Files{{"www/b.html", "<link href=\"css/main.css?18f89e\">\n"},
                 {"www/app.appcache", manifest({"a.html", "b.html", "css/main.css?18f89e"})}}
        << QByteArrayList();
}

void TestWeftRebuild::lineBuffer_data()
{
    addColumns();
    const QByteArray versioned = "<link href=\"css/main.css?18f89e\">";
    const QByteArray longLine = QByteArray(20000, 'x') + '\n';
    QTest::newRow("longer lines arrive in pieces")
        << Files{{"www-src/index.html", longLine + "end\n"}}
        << Files{{"www/index.html", longLine + "end\n"}} << QByteArrayList();
    QTest::newRow("each piece versioned on its own")
        << (assets() +
            Files{{"www-src/index.html", QByteArray(8191, 'x') + "<link href=\"css/main.css\">\n"}})
        << Files{{"www/index.html", QByteArray(8191, 'x') + versioned + '\n'}} << QByteArrayList();
    QTest::newRow("reference cut by a piece's end")
        << (assets() +
            Files{{"www-src/index.html", QByteArray(8180, 'x') + "<link href=\"css/main.css\">\n"}})
        << Files{{"www/index.html", QByteArray(8180, 'x') + "<link href=\"css/main.css\">\n"}}
        << QByteArrayList();
    QTest::newRow("rewrite filling the buffer")
        << (assets() + Files{{"www-src/index.html", paddedReferenceLine(8184)}})
        << Files{{"www/index.html", versioned + paddedReferenceLine(8184).mid(26)}}
        << QByteArrayList();
    QTest::newRow("rewrite that would overflow the buffer")
        << (assets() + Files{{"www-src/index.html", paddedReferenceLine(8185)}})
        << Files{{"www/index.html", paddedReferenceLine(8185)}} << QByteArrayList();
    QTest::newRow("a NUL byte ends its line")
        << Files{{"www-src/index.html", QByteArray("ab\0cd\nef\n", 9)}}
        << Files{{"www/index.html", "abef\n"}} << QByteArrayList();
}

void TestWeftRebuild::pagesThatCannotBeWritten_data()
{
    addColumns();
    QTest::newRow("output cannot be opened")
        << Files{{"www-src/a.html", manifestPage},
                 {"www-src/b.html", "b\n"},
                 {"www/b.html/blocker", ""},
                 {"www-src/app.appcache", "# templ-auto-generate\n"}}
        << Files{{"www/a.html", manifestPage},
                 {"www/app.appcache", "# templ-auto-generate\na.html\n\n"}}
        << QByteArrayList{"process templates @/www-src\n", "process @/www-src/a.html\n",
                          "failed to open file @/www/b.html for write Is a directory\n",
                          "process appcache app.appcache\n", "    a.html\n"};
    // Browsers that use the application cache keep a page only while the manifest lists it.
    QTest::newRow("unreadable template keeps the served page, listed")
        << Files{{"www-src/a.html", manifestPage},
                 {"www-src/b.html/blocker", ""},
                 {"www/b.html", "served before\n"},
                 {"www-src/app.appcache", "# templ-auto-generate\n"}}
        << Files{{"www/b.html", "served before\n"},
                 {"www/app.appcache", "# templ-auto-generate\na.html\nb.html\n\n"}}
        << QByteArrayList{"process templates @/www-src\n",
                          "process @/www-src/a.html\n",
                          "failed to open file @/www-src/b.html for read Is a directory\n",
                          "process @/www-src/b.html\n",
                          "process appcache app.appcache\n",
                          "    a.html\n",
                          "    b.html\n"};
    QTest::newRow("no pages") << Files{{"www-src/app.appcache", "# templ-auto-generate\n"}}
                              << Files{{"www/app.appcache", QByteArray()}}
                              << QByteArrayList{"process templates @/www-src\n"};
}

// Devices and FIFOs may never end or block the host in open(); what the rebuild writes it
// does not read. A regression hangs until QTEST_FUNCTION_TIMEOUT fails the test.
void TestWeftRebuild::inputsThatAreNotRead_data()
{
    addColumns();
    const QByteArray rebuilding = "process templates @/www-src\n";
    const QByteArray index = "process @/www-src/index.html\n";
    const QByteArray zero = QByteArray("../").repeated(32) + "dev/zero";
    QTest::newRow("a FIFO included")
        << Files{{"www-src/index.html", "a\n<!-- templ-include: pipe.inc -->\nb\n"},
                 {"www-src/pipe.inc", fifo}}
        << Files{{"www/index.html", "a\nb\n"}}
        << QByteArrayList{rebuilding, index,
                          "refused to read @/www-src/pipe.inc: not a regular file\n"};
    QTest::newRow("a device reached through ..")
        << Files{{"www-src/index.html", "a\n<!-- templ-include: " + zero + " -->\nb\n"}}
        << Files{{"www/index.html", "a\nb\n"}}
        << QByteArrayList{rebuilding, index,
                          "refused to read @/www-src/" + zero + ": not a regular file\n"};
    QTest::newRow("a FIFO as stylesheet")
        << Files{{"www-src/index.html", "<link href=\"css/main.css\">\n"},
                 {"www/css/main.css", fifo}}
        << Files{{"www/index.html", "<link href=\"css/main.css\">\n"}}
        << QByteArrayList{rebuilding, index,
                          "refused to read @/www/css/main.css: not a regular file\n"};
    QTest::newRow("a FIFO as manifest source")
        << Files{{"www-src/index.html", manifestPage}, {"www-src/app.appcache", fifo}}
        << Files{{"www/app.appcache", QByteArray()}}
        << QByteArrayList{rebuilding, index, "process appcache app.appcache\n",
                          "refused to read @/www-src/app.appcache: not a regular file\n"};
    // It claims 0 bytes and reads 256 GiB.
    QTest::newRow("a link to /proc/self/pagemap as stylesheet")
        << Files{{"www-src/index.html", "<link href=\"css/main.css\">\n"},
                 {"www/css/main.css", symlinkTo("/proc/self/pagemap")}}
        << Files{{"www/index.html", "<link href=\"css/main.css\">\n"}}
        << QByteArrayList{rebuilding, index,
                          "refused to read @/www/css/main.css: a virtual file of the kernel\n"};
    QTest::newRow("the page's own served file")
        << Files{{"www-src/index.html", "a\n<!-- templ-include: ../www/index.html -->\nb\n"},
                 {"www/index.html", "served before\n"}}
        << Files{{"www/index.html", "a\nb\n"}}
        << QByteArrayList{rebuilding, index,
                          "refused to read @/www-src/../www/index.html: this rebuild writes it\n"};
}

// A file that does not fit on the disk keeps its served version while the others are
// written. The file size limit cuts a write short as a full disk does; pages smaller than
// 16 KiB reach the disk only when the file is closed.
void TestWeftRebuild::failedWritesKeepTheServedFiles_data()
{
    addColumns();
    QTest::addColumn<int>("fileSizeLimit");
    const Files app{{"www-src/b.html", "b\n"},
                    {"www-src/app.appcache", "# templ-auto-generate\n"},
                    {"www/a.html", "served before\n"}};
    const Files written{{"www/a.html", "served before\n"},
                        {"www/b.html", "b\n"},
                        {"www/app.appcache", "# templ-auto-generate\na.html\nb.html\n\n"}};
    auto pageRow = [&](const char *name, int size, int limit) {
        QTest::newRow(name) << (app + Files{{"www-src/a.html",
                                             manifestPage + QByteArray(size, 'x') + '\n'}})
                            << written
                            << QByteArrayList{"process templates @/www-src\n",
                                              "process @/www-src/a.html\n",
                                              "failed to write @/www/a.html: File too large\n",
                                              "process @/www-src/b.html\n",
                                              "process appcache app.appcache\n",
                                              "    a.html\n",
                                              "    b.html\n"}
                            << limit;
    };
    pageRow("a page smaller than Qt's write buffer", 9 * 1024, 4096);
    pageRow("a page larger than Qt's write buffer", 100000, 64 * 1024);
    QTest::newRow("the manifest")
        << Files{{"www-src/a.html", manifestPage},
                 {"www-src/b.html", "b\n"},
                 {"www-src/app.appcache", "# templ-auto-generate\n#" + QByteArray(5000, 'x')},
                 {"www/app.appcache", "served before\n"}}
        << Files{{"www/a.html", manifestPage},
                 {"www/b.html", "b\n"},
                 {"www/app.appcache", "served before\n"}}
        << QByteArrayList{"process templates @/www-src\n",
                          "process @/www-src/a.html\n",
                          "process @/www-src/b.html\n",
                          "process appcache app.appcache\n",
                          "    a.html\n",
                          "    b.html\n",
                          "failed to write @/www/app.appcache: File too large\n"}
        << 4096;
}

void TestWeftRebuild::failedWritesKeepTheServedFiles()
{
    QFETCH(int, fileSizeLimit);
    expand(rlim_t(fileSizeLimit));
}

// Another process changes a file at the moment the rebuild prints the trigger. A symbolic
// link swapped in after a file's place was worked out does not move the write; an input that
// grows or shrinks while read leaves the page as it was served, and the end of the quiet
// period starts the next rebuild, since notifications were ignored meanwhile.
void TestWeftRebuild::filesChangedDuringTheRebuild_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QByteArray>("trigger");
    QTest::addColumn<Files>("changes");
    QTest::addColumn<Files>("expected");
    QTest::addColumn<QByteArrayList>("released"); // printed when the quiet period ends
    const QByteArrayList quiet{"templates timer released\n"};

    QTest::newRow("the manifest made a link to a page after its check")
        << Files{{"www-src/index.html", manifestPage + "P\n"},
                 {"www-src/app.appcache", "# templ-auto-generate\n"},
                 {"www/app.appcache", "served before\n"}}
        << QByteArray("    index.html\n") << Files{{"www/app.appcache", symlinkTo("index.html")}}
        << Files{{"www/index.html", manifestPage + "P\n"},
                 {"www/app.appcache", "# templ-auto-generate\nindex.html\n\n"}}
        << quiet;
    QTest::newRow("a page's link led elsewhere after its check")
        << Files{{"www-src/about.html", "about\n"},
                 {"www/about.html", symlinkTo("about-real.html")},
                 {"www/about-real.html", "served before\n"},
                 {"victim.txt", "victim\n"}}
        << QByteArray("process @/www-src/about.html\n")
        << Files{{"www/about.html", symlinkTo("../victim.txt")}}
        << Files{{"www/about-real.html", "about\n"}, {"victim.txt", "victim\n"}} << quiet;
    QTest::newRow("an include that grows while read")
        << Files{{"www-src/index.html", "a\n<!-- templ-include: part.inc -->\nb\n"},
                 {"www-src/part.inc", "p\n"},
                 {"www/index.html", "served before\n"}}
        << QByteArray("process @/www-src/part.inc\n") << Files{{"www-src/part.inc", "p\nq\n"}}
        << Files{{"www/index.html", "served before\n"}}
        << (quiet + QByteArrayList{"@/www-src/part.inc changed\n"});
    QTest::newRow("a template that shrinks while read")
        << Files{{"www-src/index.html", "a\nbb\n"}, {"www/index.html", "served before\n"}}
        << QByteArray("process @/www-src/index.html\n") << Files{{"www-src/index.html", "a\n"}}
        << Files{{"www/index.html", "served before\n"}}
        << (quiet + QByteArrayList{"@/www-src/index.html changed\n"});
}

void TestWeftRebuild::filesChangedDuringTheRebuild()
{
    QFETCH(Files, files);
    QFETCH(QByteArray, trigger);
    QFETCH(Files, changes);
    QFETCH(Files, expected);
    QFETCH(QByteArrayList, released);

    WeftFixture app;
    QVERIFY(app.write(files));
    QVERIFY(app.load());
    bool changed = false;
    WebAppHost::onPrint() = [&](const QByteArray &text) {
        if (!changed && text == app.message(trigger))
            changed = app.write(changes);
    };
    app.rebuild();
    WebAppHost::onPrint() = nullptr;
    QVERIFY(changed);
    compareFiles(app, expected);
    if (QTest::currentTestFailed())
        return;

    // The timer's tick at the end of the quiet period.
    WebAppHost::printed().clear();
    app.timer()->stop();
    QMetaObject::invokeMethod(app.plugin, "processTemplates");
    QByteArrayList expectedRelease;
    for (const QByteArray &text : released)
        expectedRelease << app.message(text);
    QCOMPARE(WebAppHost::printed(), expectedRelease);
    QCOMPARE(app.timer()->isActive(), released.size() > 1);
}

// Through /proc/self/fd a template reaches files without a name: the page's temporary file,
// which would grow the page for as long as it is read, or a file the host holds open.
void TestWeftRebuild::unnamedFilesAreNotRead()
{
    WeftFixture app;
    QVERIFY(app.load());
    QFile deleted(app.path("deleted"));
    QVERIFY(deleted.open(QIODevice::WriteOnly) && deleted.write("secret\n") && deleted.flush());
    QCOMPARE(unlink(QFile::encodeName(deleted.fileName()).constData()), 0);
    // The served directory takes the lowest free descriptor, the page's temporary file the
    // next.
    const int directoryFd = dup(0);
    const int temporaryFd = dup(0);
    close(directoryFd);
    close(temporaryFd);
    auto throughProc = [](int fd) {
        return QByteArray("../").repeated(32) + "proc/self/fd/" + QByteArray::number(fd);
    };
    const QByteArray deletedFile = throughProc(deleted.handle());
    const QByteArray temporaryFile = throughProc(temporaryFd);
    QVERIFY(app.write("www-src/index.html", "a\n<!-- templ-include: " + deletedFile +
                                                " -->\n<!-- templ-include: " + temporaryFile +
                                                " -->\nb\n"));

    QCOMPARE(app.rebuild(),
             (QByteArrayList{
                 app.message("process templates @/www-src\n"),
                 app.message("process @/www-src/index.html\n"),
                 app.message("refused to read @/www-src/" + deletedFile + ": it has no name\n"),
                 app.message("refused to read @/www-src/" + temporaryFile +
                             ": this rebuild writes it\n")}));
    QCOMPARE(app.read("www/index.html"), QByteArray("a\nb\n"));
}

void TestWeftRebuild::metaLineCarriesTheTemplateTimes()
{
    WeftFixture app;
    QVERIFY(app.write({{"www-src/index.html", "<head>\n<!-- templ-include: head.inc -->\n"},
                       {"www-src/head.inc", "<head>\n"}}));
    auto setModified = [&app](const QString &file, const QDateTime &time) {
        QFile f(app.path(file));
        return f.open(QIODevice::Append) && f.setFileTime(time, QFileDevice::FileModificationTime);
    };
    QVERIFY(setModified("www-src/index.html", QDateTime(QDate(2021, 3, 4), QTime(5, 6, 7))));
    QVERIFY(setModified("www-src/head.inc", QDateTime(QDate(2019, 11, 12), QTime(13, 14, 15))));
    QVERIFY(app.load());

    const QString format = QStringLiteral("yyyy-MM-ddTHH:mm:ss");
    const QByteArray before = QDateTime::currentDateTime().toString(format).toLatin1();
    app.rebuild();
    const QByteArray after = QDateTime::currentDateTime().toString(format).toLatin1();

    const QList<QByteArray> lines = app.read("www/index.html").split('\n');
    QCOMPARE(lines.size(), 5);
    const QByteArray pageMeta = "<meta data-lastmodified=\"2021-03-04T05:06:07\" data-generated=\"";
    const QByteArray includeMeta =
        "<meta data-lastmodified=\"2019-11-12T13:14:15\" data-generated=\"";
    QVERIFY2(lines[1].startsWith(pageMeta), lines[1]);
    QVERIFY2(lines[3].startsWith(includeMeta), lines[3]);
    for (const QByteArray &meta : {lines[1], lines[3]}) {
        QVERIFY(meta.endsWith("\">\r"));
        const QByteArray generated = meta.mid(pageMeta.size(), before.size());
        QVERIFY2(before <= generated && generated <= after, generated);
    }
}

void TestWeftRebuild::referencesJoinTheWatchList()
{
    WeftFixture app;
    QVERIFY(app.write(assets()));
    QVERIFY(app.write("www-src/index.html",
                      "<link href=\"css/main.css\">\n<link href=\"css/gone.css\">\n"
                      "<script src=\"app.js\"></script>\n"));
    QVERIFY(app.load());
    QVERIFY(!app.watched().contains(app.path("www/css/main.css")));

    app.rebuild();
    const QStringList watched = app.watched();
    QVERIFY(watched.contains(app.path("www/css/main.css")));
    QVERIFY(!watched.contains(app.path("www/css/gone.css")));
    QCOMPARE(watched.count(app.path("www/app.js")), 1);
}

void TestWeftRebuild::unchangedSourcesRebuildIdentically()
{
    WeftFixture app;
    QVERIFY(app.write(assets()));
    QVERIFY(app.write(
        {{"www-src/index.html", manifestPage + "<head>\n<!-- templ-include: top.inc -->\n"
                                               "<script src=\"app.js?123456\"></script>\n"},
         {"www-src/top.inc", "<link href=\"css/main.css\">\n"},
         {"www-src/about.html", "<head>\r\n<link href=\"css/print.css\">\r\n"}}));
    QVERIFY(app.load());
    const QStringList served{"www/index.html", "www/about.html", "www/app.appcache"};

    auto withoutGenerationTime = [](QByteArray text) {
        static const QRegularExpression generated(QStringLiteral("data-generated=\"[^\"]*\""));
        return QString::fromLatin1(text).replace(generated, QString()).toLatin1();
    };
    app.rebuild();
    QByteArrayList first;
    for (const QString &file : served)
        first << app.read(file);
    QCOMPARE(app.rebuild().first(), app.message("process templates @/www-src\n"));
    for (int i = 0; i < served.size(); ++i)
        QCOMPARE(withoutGenerationTime(app.read(served[i])), withoutGenerationTime(first[i]));
    QCOMPARE(app.read("www/app.appcache"), first[2]);
    QCOMPARE(first[2], manifest({"about.html", "app.js?17384c", "css/main.css?18f89e",
                                 "css/print.css?a4f00b", "index.html"}));
}

void TestWeftRebuild::changedStylesheetChangesOnlyItsReferences()
{
    WeftFixture app;
    QVERIFY(app.write(assets()));
    QVERIFY(app.write("www-src/index.html", manifestPage + "<link href=\"css/main.css\">\n"
                                                           "<link href=\"css/print.css\">\n"));
    QVERIFY(app.load());
    app.rebuild();
    QVERIFY(app.write("www/css/main.css", "body { color: blue; }\n"));
    app.rebuild();

    QCOMPARE(app.read("www/index.html"),
             manifestPage +
                 "<link href=\"css/main.css?fad1d6\">\n<link href=\"css/print.css?a4f00b\">\n");
    QCOMPARE(app.read("www/app.appcache"),
             manifest({"css/main.css?fad1d6", "css/print.css?a4f00b", "index.html"}));
}

// A sysfs file claims 4096 bytes and delivers a few: refused like every file of the kernel's
// virtual file systems, it is left out and the page goes on.
void TestWeftRebuild::sysfsFilesAreNotRead()
{
    const QString special = QStringLiteral("/sys/devices/system/cpu/online");
    if (!QFileInfo(special).isFile())
        QSKIP("no sysfs here");

    WeftFixture app;
    QVERIFY(app.write("www-src/index.html", "a\n<!-- templ-include: cpus.inc -->\nb\n"));
    QVERIFY(QFile::link(special, app.path("www-src/cpus.inc")));
    QVERIFY(app.load());
    QCOMPARE(app.rebuild(),
             (QByteArrayList{app.message("process templates @/www-src\n"),
                             app.message("process @/www-src/index.html\n"),
                             app.message("refused to read @/www-src/cpus.inc: a virtual file of "
                                         "the kernel\n")}));
    QCOMPARE(app.read("www/index.html"), QByteArray("a\nb\n"));
}

// A file that includes itself twice would expand 2^16 times within the depth limit.
void TestWeftRebuild::includesPerPageAreBounded()
{
    const QByteArray twice =
        "a\n<!-- templ-include: twice.inc -->\n<!-- templ-include: twice.inc -->\n";
    WeftFixture app;
    QVERIFY(app.write({{"www-src/a.html", "<!-- templ-include: twice.inc -->\n"},
                       {"www-src/b.html", "<!-- templ-include: twice.inc -->\n"},
                       {"www-src/twice.inc", twice}}));
    QVERIFY(app.load());
    const QByteArrayList printed = app.rebuild();

    const QByteArray limit =
        "more than 256 includes in one page\n<!-- templ-include: twice.inc -->\n";
    QCOMPARE(printed.count(app.message("process @/www-src/twice.inc\n")), 2 * 256);
    QVERIFY(printed.contains(limit));
    // Each page has its own allowance.
    QCOMPARE(app.read("www/a.html"), QByteArray("a\n").repeated(256));
    QCOMPARE(app.read("www/b.html"), QByteArray("a\n").repeated(256));
}

QTEST_GUILESS_MAIN(TestWeftRebuild)
#include "tst_weftrebuild.moc"
