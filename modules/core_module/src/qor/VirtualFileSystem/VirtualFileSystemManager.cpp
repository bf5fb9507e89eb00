#include "qor/VirtualFileSystem/VirtualFileSystemManager.h"

namespace QOR
{
    VirtualFileSystemNode::VirtualFileSystemNode(const std::filesystem::path& name)
    {
        _name = name;
    }

    const std::filesystem::path& VirtualFileSystemNode::GetName() const
    {
        return _name;
    }

    const std::vector<std::shared_ptr<VirtualFileSystemNode>>& VirtualFileSystemNode::GetChildren() const
    {
        return _children;
    }

    std::string_view VirtualFileSystemManager::GetStaticName()
    {
        return "VirtualFileSystemManager";
    }

    VirtualFileSystemManager::VirtualFileSystemManager(EngineKey key) : Module(key)
    {
    }

    void VirtualFileSystemManager::OnCreated(EngineKey key)
    {
        Module::OnCreated(key);
        _root = std::make_shared<VirtualFileSystemNode>(std::filesystem::path("/"));
    }

    const std::shared_ptr<VirtualFileSystemNode>& VirtualFileSystemManager::GetRoot() const
    {
        return _root;
    }
}
