#pragma once

#include <QString>

// Where config.ini lives: beside the executable when the program may write there (portable installs and
// existing files keep working), otherwise in the user's configuration directory, so that the api key is
// never silently lost on a read-only install.
QString configFilePath();

// The decision itself, apart from the file system: appDirFileUsable tells whether the executable's
// directory holds a writable config.ini or may receive one.
QString chooseConfigFilePath(const QString &appDir, const QString &userConfigDir, bool appDirFileUsable);

// True when the program can keep config.ini in dir: the file exists and opens for writing, or it is missing
// and a file can be created in the directory.
bool configFileUsableIn(const QString &dir);

// Starts the user's own config.ini (to) as a copy of the one beside the executable (from), once: nothing when to
// exists or from cannot be read. True when it copied.
bool seedConfigFile(const QString &from, const QString &to);

// config.ini holds the api key: files the program creates are readable by their owner only (Unix).
void restrictNewFilesToOwner();
