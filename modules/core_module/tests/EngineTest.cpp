#include "TestModules.h"

#include "qor/MultiThreading/SmartThreadManager.h"
#include "qor/MultiThreading/TaskManager.h"
#include "qor/VirtualFileSystem/VirtualFileSystemManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

using namespace QOR;
using namespace QOR::Testing;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

namespace
{
    class EngineTest : public ::testing::Test
    {
    protected:
        void SetUp() override { Events().clear(); }

        std::unique_ptr<Engine> _engine = std::make_unique<Engine>("QORLauncherUpdater");
    };

    void ExpectMissing(Engine& engine, std::string_view name)
    {
        try
        {
            engine.GetModule(name);
            ADD_FAILURE() << "found a module named '" << name << "'";
        }
        catch (const std::out_of_range& error)
        {
            EXPECT_STREQ(error.what(), "invalid unordered_map<K, T> key");
        }
    }

    bool Contains(const std::vector<std::string_view>& names, std::string_view name)
    {
        return std::find(names.begin(), names.end(), name) != names.end();
    }
}

TEST_F(EngineTest, RegistersExactlyTheStandardModulesAndOnlyCoreModuleAsCore)
{
    std::vector<std::string_view> names = _engine->GetModuleNames();
    // The Logger module joins the set when logging is built in; nothing else may appear.
    const bool bHasLogger = Contains(names, "Logger");
    if (bHasLogger)
    {
        EXPECT_THAT(names,
                    UnorderedElementsAre("Logger", "SmartThreadManager", "VirtualFileSystemManager", "TaskManager"));
    }
    else
    {
        EXPECT_THAT(names, UnorderedElementsAre("SmartThreadManager", "VirtualFileSystemManager", "TaskManager"));
    }
    EXPECT_THAT(_engine->GetCoreModuleNames(), ElementsAre("CoreModule"));

    // Every standard module went through OnCreated, and its state starts clear.
    for (const std::string_view name : names)
    {
        const ModuleState* state = _engine->GetModule(name)->GetState();
        ASSERT_NE(state, nullptr) << name;
        EXPECT_FALSE(state->IsStopRequested()) << name;
        EXPECT_EQ(state->GetEngine(), _engine.get()) << name;
        EXPECT_EQ(_engine->GetModule(name)->GetEngine(), _engine.get()) << name;
    }
    EXPECT_FALSE(_engine->IsRunning());
}

TEST_F(EngineTest, LookupIsExactAndNeverSeesCoreModules)
{
    ExpectMissing(*_engine, "CoreModule");
    ExpectMissing(*_engine, "smartthreadmanager");
    ExpectMissing(*_engine, "TaskManager ");
    ExpectMissing(*_engine, "Task");
    ExpectMissing(*_engine, "");

    // A name built at run time finds the same module as the literal and the typed lookup.
    const std::string built = std::string("Task") + "Manager";
    EXPECT_EQ(_engine->GetModule(built), _engine->GetModule<TaskManager>());
    EXPECT_EQ(_engine->GetModule("SmartThreadManager"), _engine->GetModule<SmartThreadManager>());
    EXPECT_EQ(_engine->GetModule("VirtualFileSystemManager"), _engine->GetModule<VirtualFileSystemManager>());
}

TEST(EngineNameTest, KeepsTheExactTextEvenWhenTheCallersBufferIsGone)
{
    auto name = std::make_unique<std::string>(std::string("QORLauncherUpdater\0x", 20));
    Engine engine(*name);
    name.reset();
    EXPECT_EQ(engine.GetName().size(), 20u);
    EXPECT_EQ(engine.GetName(), std::string_view("QORLauncherUpdater\0x", 20));
}

TEST_F(EngineTest, ReplacingAModuleDestroysTheOldOneOnceAndKeepsOneEntry)
{
    const std::size_t before = _engine->GetModuleNames().size();
    _engine->AddModule<Alpha>();
    Events().clear();

    std::shared_ptr<AlphaReplacement> replacement = _engine->AddModule<AlphaReplacement>();
    EXPECT_THAT(Events(), ElementsAre("Alpha.destroyed"));
    EXPECT_EQ(_engine->GetModuleNames().size(), before + 1);
    EXPECT_EQ(_engine->GetModule("Alpha"), replacement.get());

    // A replaced module somebody else still owns survives the replacement.
    std::shared_ptr<Alpha> kept = _engine->AddModule<Alpha>();
    Events().clear();
    _engine->RegisterModule("Alpha", replacement);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(_engine->GetModule("Alpha"), replacement.get());
    kept.reset();
    EXPECT_THAT(Events(), ElementsAre("Alpha.destroyed"));
}

TEST_F(EngineTest, RegisterModuleOwnsItsKeyAndBindsTheModule)
{
    std::shared_ptr<Alpha> module = _engine->AddModule<Alpha>();
    {
        auto name = std::make_unique<std::string>("Temporary");
        _engine->RegisterModule(*name, module);
        name->assign("Overwritten");
    }
    EXPECT_EQ(_engine->GetModule(std::string("Temporary")), module.get());
    ExpectMissing(*_engine, "Overwritten");
    EXPECT_EQ(module->GetEngine(), _engine.get());
}

TEST_F(EngineTest, DeletingTheEngineDestroysEachModuleOnceAndCallsNoOtherHook)
{
    std::weak_ptr<Alpha> alpha = _engine->AddModule<Alpha>();
    std::weak_ptr<Beta> beta = _engine->AddModule<Beta>();
    Events().clear();

    _engine.reset();

    EXPECT_THAT(Events(), UnorderedElementsAre("Alpha.destroyed", "Beta.destroyed"));
    EXPECT_TRUE(alpha.expired());
    EXPECT_TRUE(beta.expired());
}

TEST_F(EngineTest, CoreModuleInstallsInOrderAndEachModuleIsFindableInItsOwnOnCreated)
{
    _engine->AddCoreModule<RecordingCoreModule>();

    EXPECT_THAT(Events(), ElementsAre("RecordingCore.InstallModules", "Alpha.constructed", "Alpha.OnCreated",
                                      "Beta.constructed", "Beta.OnCreated", "Gamma.constructed", "Gamma.OnCreated"));
    EXPECT_TRUE(_engine->GetModule<Alpha>()->WasFindableInOnCreated());
    EXPECT_TRUE(_engine->GetModule<Gamma>()->WasFindableInOnCreated());
    EXPECT_TRUE(RecordingCoreModule::bInstalledBeforeRegistered);
    EXPECT_THAT(_engine->GetCoreModuleNames(), UnorderedElementsAre("CoreModule", "RecordingCore"));
    ExpectMissing(*_engine, "RecordingCore");
}

TEST_F(EngineTest, RequestStopIsStickyAndSafeFromAnotherThread)
{
    std::shared_ptr<Alpha> alpha = _engine->AddModule<Alpha>();
    std::thread other([&] { alpha->RequestStop(); });
    other.join();
    alpha->RequestStop();
    EXPECT_TRUE(alpha->GetState()->IsStopRequested());
}

TEST_F(EngineTest, ModuleInterfaceDefaultsAndOverrides)
{
    for (const std::string_view name : _engine->GetModuleNames())
    {
        Module* module = _engine->GetModule(name);
        if (name == "TaskManager")
        {
            EXPECT_TRUE(module->IsThreaded());
            EXPECT_THAT(module->GetDependencies(), ElementsAre("SmartThreadManager"));
        }
        else
        {
            EXPECT_FALSE(module->IsThreaded()) << name;
            EXPECT_TRUE(module->GetDependencies().empty()) << name;
        }
    }
}

namespace
{
    struct FailingName
    {
        static constexpr std::string_view value = "Failing";
    };

    class FailingModule : public Module
    {
    public:
        static std::string_view GetStaticName() { return FailingName::value; }
        using Module::Module;
        void OnCreated(EngineKey) override { throw std::runtime_error("creation failed"); }
    };
}

TEST_F(EngineTest, AModuleWhoseCreationFailsIsNotLeftRegistered)
{
    EXPECT_THROW(_engine->AddModule<FailingModule>(), std::runtime_error);
    ExpectMissing(*_engine, "Failing");
}

TEST(EngineThreadTest, TheConstructingThreadIsThreadZero)
{
    std::thread::id constructor;
    std::unique_ptr<Engine> engine;
    std::thread builder([&] {
        constructor = std::this_thread::get_id();
        engine = std::make_unique<Engine>("Built elsewhere");
    });
    builder.join();

    const auto* threads = engine->GetModule<SmartThreadManager>();
    EXPECT_THAT(threads->GetThreadIndices(), UnorderedElementsAre(std::pair(constructor, 0u)));
    EXPECT_EQ(threads->GetNextThreadIndex(), 1u);
    EXPECT_FALSE(threads->GetThreadIndex(std::this_thread::get_id()).has_value());
}
