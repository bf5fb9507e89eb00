#include "qor/VirtualFileSystem/VirtualFileSystemManager.h"
#include "qor/Engine/Engine.h"

#include <gtest/gtest.h>

#include <memory>

using namespace QOR;

TEST(VirtualFileSystemManagerTest, CreatesOnlyTheRootOwnedByTheManager)
{
    auto engine = std::make_unique<Engine>("VFS");
    const auto* vfs = engine->GetModule<VirtualFileSystemManager>();
    ASSERT_NE(vfs->GetState(), nullptr);
    const std::shared_ptr<VirtualFileSystemNode>& root = vfs->GetRoot();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetName(), std::filesystem::path("/"));
    EXPECT_EQ(root->GetName().string(), "/");
    EXPECT_TRUE(root->GetChildren().empty());
    EXPECT_EQ(root.use_count(), 1);

    // shared_from_this joins the manager's ownership instead of starting a second one.
    std::shared_ptr<VirtualFileSystemNode> shared = root->shared_from_this();
    EXPECT_EQ(root.use_count(), 2);
    EXPECT_FALSE(shared.owner_before(root) || root.owner_before(shared));

    std::weak_ptr<VirtualFileSystemNode> watched = root;
    shared.reset();
    engine.reset();
    EXPECT_TRUE(watched.expired());
}
