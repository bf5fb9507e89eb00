#pragma once

#include "qor/Engine/Module.h"

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

namespace QOR
{
    // One named node of the virtual file system. Always created with std::make_shared, so a node
    // can hand out shared ownership of itself.
    class VirtualFileSystemNode : public std::enable_shared_from_this<VirtualFileSystemNode>
    {
    public:
        explicit VirtualFileSystemNode(const std::filesystem::path& name);

        const std::filesystem::path& GetName() const;
        const std::vector<std::shared_ptr<VirtualFileSystemNode>>& GetChildren() const;

    private:
        std::filesystem::path _name;
        std::vector<std::shared_ptr<VirtualFileSystemNode>> _children;
    };

    // Owns the virtual file system tree, whose root "/" is created with the module.
    class VirtualFileSystemManager : public Module
    {
    public:
        static std::string_view GetStaticName();

        explicit VirtualFileSystemManager(EngineKey key);

        void OnCreated(EngineKey key) override;

        // Null until OnCreated has run.
        const std::shared_ptr<VirtualFileSystemNode>& GetRoot() const;

    private:
        std::shared_ptr<VirtualFileSystemNode> _root;
    };
}
