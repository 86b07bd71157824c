// The yardsticks of gui_idle_bench: a Qt Widgets window of the main window's size that does nothing, and with
// "text" as a third argument the same window showing one line of text and one button.

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const int width = argc > 2 ? QString::fromLocal8Bit(argv[1]).toInt() : 385;
    const int height = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 150;
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.setFixedSize(width, height);
    if (argc > 3 && QString::fromLocal8Bit(argv[3]) == QStringLiteral("text")) {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(new QLabel(QStringLiteral("Reply from 127.0.0.1: bytes=32 time<1ms TTL=64")));
        layout->addWidget(new QPushButton(QStringLiteral("Start")));
    }
    window.show();
    return app.exec();
}
