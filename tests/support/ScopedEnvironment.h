// ScopedEnvironment: sets (or removes) an environment variable for one scope, then restores it.
// For Qt tests of behaviour chosen by the environment.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

struct ScopedEnvironment {
    ScopedEnvironment(const char* name, std::optional<QByteArray> value) : name(name)
    {
        if (qEnvironmentVariableIsSet(name))
            saved = qgetenv(name);
        value ? void(qputenv(name, *value)) : void(qunsetenv(name));
    }
    ~ScopedEnvironment() { saved ? void(qputenv(name, *saved)) : void(qunsetenv(name)); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    const char* name;
    std::optional<QByteArray> saved;
};
