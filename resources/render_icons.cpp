// Build tool: renders the traffic-light drawings to PNG at the sizes the program shows them, so that the
// program itself needs neither QtSvg nor the time to parse and render SVG at start-up.
// Usage: render_icons <output folder> <file.svg>:<size>...   writes <output folder>/<name>-<size>.png

#include <cstdio>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() < 3) {
        std::fputs("usage: render_icons <output folder> <file.svg>:<size>...\n", stderr);
        return 2;
    }
    for (qsizetype i = 2; i < args.size(); ++i) {
        const qsizetype colon = args[i].lastIndexOf(QLatin1Char(':'));
        const QString svg = args[i].left(colon);
        bool ok = false;
        const int size = args[i].mid(colon + 1).toInt(&ok);
        QSvgRenderer renderer(svg);
        if (colon < 0 || !ok || size <= 0 || !renderer.isValid()) {
            std::fprintf(stderr, "render_icons: cannot render %s\n", qPrintable(args[i]));
            return 1;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.end();
        const QString name = svg.mid(svg.lastIndexOf(QLatin1Char('/')) + 1).chopped(4);
        const QString out = QStringLiteral("%1/%2-%3.png").arg(args[1], name).arg(size);
        if (!image.save(out)) {
            std::fprintf(stderr, "render_icons: cannot write %s\n", qPrintable(out));
            return 1;
        }
    }
    return 0;
}
