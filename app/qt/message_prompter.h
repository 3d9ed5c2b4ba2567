#pragma once
// Everything the window asks of the operator in a box of its own. The window never opens one
// directly, so tests answer through their own prompter instead of waiting on a modal box.
#include <QString>

class QWidget;

class MessagePrompter {
public:
    enum Icon { NoIcon, Information, Warning, Error };
    virtual ~MessagePrompter() = default;
    // A message that needs no answer; it must not hold up the caller (the window keeps drawing).
    virtual void Inform(QWidget* parent, const QString& text, const QString& caption, Icon icon) = 0;
    // A message that the caller waits on until the operator has read it (OK only).
    virtual void Alert(QWidget* parent, const QString& text, const QString& caption) = 0;
    // OK and Cancel; true for OK.
    virtual bool Ask(QWidget* parent, const QString& text, const QString& caption) = 0;
    // A folder picked by the operator; false when cancelled.
    virtual bool ChooseFolder(QWidget* parent, const QString& start, QString* folder) = 0;
    // Where to save the results; false when cancelled.
    virtual bool ChooseSaveFile(QWidget* parent, const QString& caption, const QString& suggested, QString* file) = 0;
};

// The real boxes and file dialogs.
class QtMessagePrompter : public MessagePrompter {
public:
    void Inform(QWidget* parent, const QString& text, const QString& caption, Icon icon) override;
    void Alert(QWidget* parent, const QString& text, const QString& caption) override;
    bool Ask(QWidget* parent, const QString& text, const QString& caption) override;
    bool ChooseFolder(QWidget* parent, const QString& start, QString* folder) override;
    bool ChooseSaveFile(QWidget* parent, const QString& caption, const QString& suggested, QString* file) override;
};
