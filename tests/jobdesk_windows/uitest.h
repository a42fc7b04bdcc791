// Small helpers for driving modal dialogs and menus from a test.
#pragma once

#include <QTimer>
#include <functional>

// Calls step every 20 ms from the event loop (also from inside a modal
// exec()) until it answers true or about 5 s have passed.
inline void whenReady(std::function<bool()> step)
{
    auto *timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, step, tries]() {
        if (step() || ++*tries > 250) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}
