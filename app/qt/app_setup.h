#pragma once
// What the window program sets up for the whole application before its window opens: the
// program's icon and Qt's own texts in the window's language.
#include <QIcon>
#include <QString>
#include <cstdint>

class QTranslator;

// Kelvane's icon at every size a desktop asks for.
QIcon KelvaneIcon();

// Loads and installs Qt's translations (buttons of message boxes, the folder dialog, the edit
// boxes' menu) for the window's language: none for 1033, whose window and Qt are English; else
// Chinese, the window's own language. Returns the installed translator (deleting it uninstalls
// it), or null when there is nothing to load or the files are missing; `problem` then says why.
QTranslator* InstallQtTranslations(uint16_t langId, QString* problem);
