// The yardstick of gui_idle_bench: a Qt Widgets window of the main window's size that does nothing.

#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const int width = argc > 2 ? QString::fromLocal8Bit(argv[1]).toInt() : 385;
    const int height = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 150;
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.setFixedSize(width, height);
    window.show();
    return app.exec();
}
