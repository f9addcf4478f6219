#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

// Reads and dismisses the modal message boxes that the code under test
// shows. Arm it before the action; it polls from the event loop (the box's
// own modal loop included) and presses OK on each box it finds.
class MessageBoxCatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MessageBoxCatcher)

public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QPointer<QWidget> parent;
    };

    explicit MessageBoxCatcher(QObject *parent = nullptr);

    // Watches for boxes for at most timeoutMs.
    void arm(int timeoutMs = 10000);
    void disarm();

    const QList<Box> &boxes() const { return m_boxes; }
    void clear() { m_boxes.clear(); }

private:
    void poll();

    QTimer m_pollTimer;
    qint64 m_deadline = 0;
    QList<Box> m_boxes;
};
