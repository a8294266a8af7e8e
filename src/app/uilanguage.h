#pragma once

#include <QString>

// True when the user's interface language is French as used in France; asked afresh at every call.
bool isFrenchInterface();

// The Unix rule on its own: the first language the environment names (LANGUAGE, then LC_ALL,
// LC_MESSAGES, LANG) is French of France or French with no territory.
bool isFrenchLocaleName(const QString &name);
