#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>

#include "ControlServerShared.h"

std::string ControlUserName(uid_t uid)
{
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

CControlPeer ReadControlPeer(int fd)
{
    CControlPeer peer;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    std::vector<gid_t> groups(64);
    socklen_t groupBytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    peer.Known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groupBytes) == 0)
        groups.resize(groupBytes / sizeof(gid_t));
    else
        groups.clear();   // too many to read: the primary group still counts
    peer.Uid = credentials.uid;
    peer.Gid = credentials.gid;
    peer.Pid = credentials.pid;
    peer.Groups = std::move(groups);
    return peer;
}

bool CControlServer::MayUse(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, uid_t ownUid,
                            std::optional<gid_t> group)
{
    if (uid == 0 || uid == ownUid)
        return true;
    if (!group)
        return false;
    return gid == *group || std::find(groups.begin(), groups.end(), *group) != groups.end();
}
