// The reference beside the agent in bench/agent/memory.py: a plain Qt Widgets window with a label and a
// button, showing a time that changes every second, as small as a real application gets.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* label = new QLabel(QTime::currentTime().toString(), &window);
    layout->addWidget(label);
    layout->addWidget(new QPushButton(QStringLiteral("Quit"), &window));
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, label, [label] { label->setText(QTime::currentTime().toString()); });
    timer.start(1000);
    window.show();
    return app.exec();
}
