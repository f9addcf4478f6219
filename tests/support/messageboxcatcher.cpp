#include "messageboxcatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QPushButton>

MessageBoxCatcher::MessageBoxCatcher(QObject *parent)
    : QObject(parent)
{
    m_pollTimer.setInterval(5);
    connect(&m_pollTimer, &QTimer::timeout, this, &MessageBoxCatcher::poll);
}

void MessageBoxCatcher::arm(int timeoutMs)
{
    m_deadline = QDateTime::currentMSecsSinceEpoch() + timeoutMs;
    m_pollTimer.start();
}

void MessageBoxCatcher::disarm()
{
    m_pollTimer.stop();
}

void MessageBoxCatcher::poll()
{
    if (QDateTime::currentMSecsSinceEpoch() > m_deadline) {
        m_pollTimer.stop();
        return;
    }
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;

    Box seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.buttons = box->standardButtons();
    if (QAbstractButton *byDefault = box->defaultButton())
        seen.defaultButton = box->standardButton(byDefault);
    seen.parent = box->parentWidget();
    m_boxes.append(seen);

    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
}
