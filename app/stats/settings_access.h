// How the usage statistics reach the application's settings store: reading
// and writing text values by key. The application hands its store in through
// settingsAccessOf(), so marks and channel code land in the same file, and
// in the same dictionary, as every other setting.
#pragma once

#include <QtCore/QString>

#include <functional>

namespace ambrel::app {

struct SettingsAccess
{
    // The stored text, or the empty text when the key is absent.
    std::function<QString(const QString& key)> read;
    // Stores the value under the key (and saves it).
    std::function<void(const QString& value, const QString& key)> write;
};

// Access to any store with ReadData(key) and WriteData(value, key). The
// store must outlive the access.
template <class Store>
SettingsAccess settingsAccessOf(Store& store)
{
    return {[&store](const QString& key) { return store.ReadData(key); },
            [&store](const QString& value, const QString& key) { store.WriteData(value, key); }};
}

}  // namespace ambrel::app
