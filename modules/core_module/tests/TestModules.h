#pragma once

// Module types that exist only for the tests: they record every hook call, so a test can tell
// exactly which operations the engine ran and in which order.

#include "qor/Engine/Engine.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace QOR::Testing
{
    // Events as "<module>.<hook>", in call order, across all recording modules.
    inline std::vector<std::string>& Events()
    {
        static std::vector<std::string> events;
        return events;
    }

    // A key handed to a recording module's OnCreated, kept so tests can call key-taking operations.
    inline std::optional<EngineKey>& CapturedKey()
    {
        static std::optional<EngineKey> key;
        return key;
    }

    template<class Name>
    class RecordingModule : public Module
    {
    public:
        static std::string_view GetStaticName() { return Name::value; }

        explicit RecordingModule(EngineKey key) : Module(key) { Record("constructed"); }
        ~RecordingModule() override { Record("destroyed"); }

        void OnCreated(EngineKey key) override
        {
            Module::OnCreated(key);
            CapturedKey() = key;
            // Registered before its hook runs, under its own name.
            _bWasFindable = GetEngine()->GetModule(GetStaticName()) == this;
            Record("OnCreated");
        }
        void Initialize() override { Record("Initialize"); }
        void Update() override { Record("Update"); }
        void RequestStop() override
        {
            Module::RequestStop();
            Record("RequestStop");
        }
        void Shutdown() override { Record("Shutdown"); }

        bool WasFindableInOnCreated() const { return _bWasFindable; }

    private:
        static void Record(std::string_view hook)
        {
            Events().push_back(std::string(Name::value) + "." + std::string(hook));
        }

        bool _bWasFindable = false;
    };

    struct AlphaName
    {
        static constexpr std::string_view value = "Alpha";
    };
    struct BetaName
    {
        static constexpr std::string_view value = "Beta";
    };
    struct GammaName
    {
        static constexpr std::string_view value = "Gamma";
    };

    using Alpha = RecordingModule<AlphaName>;
    using Beta = RecordingModule<BetaName>;
    using Gamma = RecordingModule<GammaName>;

    // Registers under Alpha's name, to replace it.
    class AlphaReplacement : public Module
    {
    public:
        static std::string_view GetStaticName() { return AlphaName::value; }
        using Module::Module;
    };

    // A core module installing the recording modules, for the install-order rules.
    class RecordingCoreModule : public CoreModuleBase
    {
    public:
        using CoreModuleBase::CoreModuleBase;

        void InstallModules(EngineKey) override
        {
            Events().push_back("RecordingCore.InstallModules");
            Engine* const engine = GetEngine();
            engine->AddModule<Alpha>();
            engine->AddModule<Beta>();
            engine->AddModule<Gamma>();
            // The core module itself is registered only after this returns.
            bInstalledBeforeRegistered = engine->GetCoreModuleNames().size() == 1;
        }
        std::string_view GetName() const override { return "RecordingCore"; }

        static inline bool bInstalledBeforeRegistered = false;
    };
}
