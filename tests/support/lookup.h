#pragma once

#include <QJsonDocument>
#include <QJsonParseError>
#include <QString>
#include <QTest>
#include <QWidget>

// The child widget of window with that object name and type. A missing one
// fails the running test, naming it; a hidden stand-in owned by the window
// is returned, so that the test runs to its end instead of crashing.
template<typename T>
T *child(QWidget &window, const QString &name)
{
    if (auto *found = window.findChild<T *>(name))
        return found;
    const QString message =
        QStringLiteral("%1 has no %2 named \"%3\"")
            .arg(window.objectName(), QLatin1String(T::staticMetaObject.className()), name);
    QTest::qFail(qPrintable(message), __FILE__, __LINE__);
    auto *standIn = new T(&window);
    standIn->setObjectName(name);
    standIn->hide();
    return standIn;
}

// The warning the manifest reader writes for text that stays unreadable
// after repair: the parser's own description of what is wrong with it.
inline QString parseErrorLine(const QString &repairedText)
{
    QJsonParseError error;
    QJsonDocument::fromJson(repairedText.toUtf8(), &error);
    return QStringLiteral("JSON parse error: ") + error.errorString();
}

// How the outcome of a check names such a text: with the parser's reason.
inline QString parseProblem(const QString &repairedText)
{
    QJsonParseError error;
    QJsonDocument::fromJson(repairedText.toUtf8(), &error);
    return QStringLiteral("does not parse (%1)").arg(error.errorString());
}
