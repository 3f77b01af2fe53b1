// The GSettings desktops: GNOME (with Unity and Budgie), Cinnamon and MATE. Values are written
// through GIO in this process when the program is built with it, else with the gsettings tool,
// and always read back: without a session bus the dconf writer drops a value silently.
#ifdef TAPESTRIX_HAVE_GIO
// GLib's headers come before Qt's: Qt defines `signals` as a macro, a name GLib's headers use.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>
#endif

#include "platform/WallpaperBackends.h"

#include <map>
#include <memory>
#include <vector>

namespace wallpaper {

namespace {

class SettingsAccess {
public:
    virtual ~SettingsAccess() = default;
    virtual bool hasSchema(const QString& schema) = 0;
    virtual bool hasKey(const QString& schema, const QString& key) = 0;
    // Sets a string (or enumeration) key.
    virtual void set(const QString& schema, const QString& key, const QString& value) = 0;
    // Waits until every change has reached the settings store or was dropped.
    virtual void sync() = 0;
    virtual QString get(const QString& schema, const QString& key) = 0;
};

// ---------------------------------------------------------------------------------------------
// The gsettings tool

class ToolSettings final : public SettingsAccess {
public:
    explicit ToolSettings(const Context& context) : FContext(context) {}

    bool hasSchema(const QString& schema) override { return keys(schema).has_value(); }

    bool hasKey(const QString& schema, const QString& key) override {
        const auto list = keys(schema);
        return list && list->contains(key);
    }

    void set(const QString& schema, const QString& key, const QString& value) override {
        runToolChecked(FContext, QStringLiteral("gsettings"),
                       {QStringLiteral("set"), schema, key, gvariantQuote(value)});
    }

    void sync() override {} // every gsettings run writes before it exits

    QString get(const QString& schema, const QString& key) override {
        const ToolResult result = runToolChecked(FContext, QStringLiteral("gsettings"),
                                                 {QStringLiteral("get"), schema, key});
        const QString text = QString::fromUtf8(result.out).trimmed();
        return gvariantUnquote(text).value_or(text);
    }

private:
    std::optional<QStringList> keys(const QString& schema) {
        auto found = FKeys.find(schema);
        if (found == FKeys.end()) {
            const ToolResult result = runTool(FContext, QStringLiteral("gsettings"),
                                              {QStringLiteral("list-keys"), schema});
            std::optional<QStringList> list;
            if (result.exitCode == 0)
                list = QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            found = FKeys.emplace(schema, list).first;
        }
        return found->second;
    }

    const Context& FContext;
    std::map<QString, std::optional<QStringList>> FKeys;
};

// ---------------------------------------------------------------------------------------------
// GIO

#ifdef TAPESTRIX_HAVE_GIO

template <typename T> struct GObjectDeleter {
    void operator()(T* object) const {
        if (object)
            g_object_unref(object);
    }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectDeleter<T>>;

struct SchemaDeleter {
    void operator()(GSettingsSchema* schema) const { g_settings_schema_unref(schema); }
};
struct SchemaKeyDeleter {
    void operator()(GSettingsSchemaKey* key) const { g_settings_schema_key_unref(key); }
};
struct VariantDeleter {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantDeleter>;

class GioSettings final : public SettingsAccess {
public:
    GioSettings() {
        // GIO falls back to a backend that keeps values in memory when no dconf module is
        // installed: every write would seem to work and change nothing.
        GObjectPtr<GSettingsBackend> backend(g_settings_backend_get_default());
        const QString type = QString::fromUtf8(G_OBJECT_TYPE_NAME(backend.get()));
        if (type == QLatin1String("GMemorySettingsBackend") ||
            type == QLatin1String("GNullSettingsBackend"))
            throw Exception(QStringLiteral("GSettings has no lasting store (%1; is the dconf "
                                           "GSettings backend installed?)")
                                .arg(type));
    }

    bool hasSchema(const QString& schema) override { return lookup(schema) != nullptr; }

    bool hasKey(const QString& schema, const QString& key) override {
        GSettingsSchema* found = lookup(schema);
        return found && g_settings_schema_has_key(found, key.toUtf8().constData());
    }

    void set(const QString& schema, const QString& key, const QString& value) override {
        const QByteArray keyName = key.toUtf8();
        std::unique_ptr<GSettingsSchemaKey, SchemaKeyDeleter> schemaKey(
            g_settings_schema_get_key(lookup(schema), keyName.constData()));
        VariantPtr variant(g_variant_ref_sink(g_variant_new_string(value.toUtf8().constData())));
        if (!g_variant_is_of_type(variant.get(),
                                  g_settings_schema_key_get_value_type(schemaKey.get())) ||
            !g_settings_schema_key_range_check(schemaKey.get(), variant.get()))
            throw Exception(
                QStringLiteral("'%1' is not a valid value of %2 %3").arg(value, schema, key));
        if (!g_settings_set_value(settings(schema), keyName.constData(), variant.get()))
            throw Exception(QStringLiteral("%1 %2 is not writable (locked down)").arg(schema, key));
    }

    void sync() override { g_settings_sync(); }

    QString get(const QString& schema, const QString& key) override {
        VariantPtr value(g_settings_get_value(settings(schema), key.toUtf8().constData()));
        if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING))
            return QString();
        return QString::fromUtf8(g_variant_get_string(value.get(), nullptr));
    }

private:
    GSettingsSchema* lookup(const QString& schema) {
        auto found = FSchemas.find(schema);
        if (found == FSchemas.end()) {
            GSettingsSchemaSource* source = g_settings_schema_source_get_default();
            GSettingsSchema* result =
                source ? g_settings_schema_source_lookup(source, schema.toUtf8().constData(), TRUE)
                       : nullptr;
            found = FSchemas.emplace(schema, decltype(FSchemas)::mapped_type(result)).first;
        }
        return found->second.get();
    }

    GSettings* settings(const QString& schema) {
        auto found = FSettings.find(schema);
        if (found == FSettings.end())
            found = FSettings
                        .emplace(schema, GObjectPtr<GSettings>(
                                             g_settings_new_full(lookup(schema), nullptr, nullptr)))
                        .first;
        return found->second.get();
    }

    std::map<QString, std::unique_ptr<GSettingsSchema, SchemaDeleter>> FSchemas;
    std::map<QString, GObjectPtr<GSettings>> FSettings;
};

#endif

std::unique_ptr<SettingsAccess> openSettings(const Context& context) {
    switch (context.gsettings) {
    case GSettingsAccess::Tool:
        return std::make_unique<ToolSettings>(context);
    case GSettingsAccess::Library:
#ifndef TAPESTRIX_HAVE_GIO
        throw Exception(QStringLiteral("this build has no GIO"));
#endif
    case GSettingsAccess::Automatic:
        break;
    }
#ifdef TAPESTRIX_HAVE_GIO
    return std::make_unique<GioSettings>();
#else
    return std::make_unique<ToolSettings>(context);
#endif
}

struct KeyValue {
    QString key;
    QString value;
    bool optional = false; // skipped where the schema lacks it
};

// Writes the keys in order, then reads every one back.
void applyKeys(const Context& context, const QString& schema, const std::vector<KeyValue>& keys) {
    std::unique_ptr<SettingsAccess> settings = openSettings(context);
    if (!settings->hasSchema(schema))
        throw Exception(QStringLiteral("the GSettings schema %1 is not installed").arg(schema));
    std::vector<KeyValue> present;
    for (const KeyValue& entry : keys) {
        if (settings->hasKey(schema, entry.key))
            present.push_back(entry);
        else if (!entry.optional)
            throw Exception(
                QStringLiteral("the GSettings schema %1 has no key %2").arg(schema, entry.key));
    }
    for (const KeyValue& entry : present)
        settings->set(schema, entry.key, entry.value);
    settings->sync();
    for (const KeyValue& entry : present) {
        const QString actual = settings->get(schema, entry.key);
        if (actual != entry.value)
            throw Exception(QStringLiteral("%1 %2 did not keep its new value (it reads '%3'); "
                                           "is the session bus with dconf running?")
                                .arg(schema, entry.key, actual));
    }
}

// 'zoom' scales to fill each monitor: a screen-sized image stays one to one on the primary
// screen and still covers a secondary one of another size.
const QString kPictureOptions = QStringLiteral("zoom");

// With several monitors the desktop-wide file is spanned across them: each monitor shows its
// own part of it.
const QString kSpanned = QStringLiteral("spanned");

void setGnome(const Context& context, const QString& path, const QString& options) {
    const QString uri = fileUri(path);
    // picture-uri-dark exists from GNOME 42 on; older schemas lack it.
    applyKeys(context, QStringLiteral("org.gnome.desktop.background"),
              {{QStringLiteral("picture-options"), options},
               {QStringLiteral("picture-uri"), uri},
               {QStringLiteral("picture-uri-dark"), uri, true}});
}

void setCinnamon(const Context& context, const QString& path, const QString& options) {
    applyKeys(context, QStringLiteral("org.cinnamon.desktop.background"),
              {{QStringLiteral("picture-options"), options},
               {QStringLiteral("picture-uri"), fileUri(path)}});
}

void setMate(const Context& context, const QString& path, const QString& options) {
    applyKeys(
        context, QStringLiteral("org.mate.background"),
        {{QStringLiteral("picture-options"), options}, {QStringLiteral("picture-filename"), path}});
}

} // namespace

void setGnomeWallpaper(const Context& context, const QString& path) {
    setGnome(context, path, kPictureOptions);
}

void setCinnamonWallpaper(const Context& context, const QString& path) {
    setCinnamon(context, path, kPictureOptions);
}

void setMateWallpaper(const Context& context, const QString& path) {
    setMate(context, path, kPictureOptions);
}

void setGnomeWallpapers(const Context& context, const TWallpaperFiles& files) {
    setGnome(context, files.Desktop, kSpanned);
}

void setCinnamonWallpapers(const Context& context, const TWallpaperFiles& files) {
    setCinnamon(context, files.Desktop, kSpanned);
}

void setMateWallpapers(const Context& context, const TWallpaperFiles& files) {
    setMate(context, files.Desktop, kSpanned);
}

} // namespace wallpaper
