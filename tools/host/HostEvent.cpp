#include "HostEvent.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace brix_host {

#define BRIX_FIELD(member) {#member, &ac_wrapper_event_s::member}

const NumberField kNumberFields[8] = {
    BRIX_FIELD(pid),  BRIX_FIELD(auxiliary1), BRIX_FIELD(flags),
    BRIX_FIELD(result), BRIX_FIELD(auxiliary2), BRIX_FIELD(size),
    BRIX_FIELD(mode), BRIX_FIELD(auxiliary3),
};

const FlagField kFlagFields[4] = {
    BRIX_FIELD(dirty), BRIX_FIELD(isexec), BRIX_FIELD(trusted),
    BRIX_FIELD(isSymlink),
};

const TextField kTextFields[24] = {
    BRIX_FIELD(processName),        BRIX_FIELD(name),
    BRIX_FIELD(cmdLine),            BRIX_FIELD(processSignerName),
    BRIX_FIELD(processIssuerCN),    BRIX_FIELD(processIssuerC),
    BRIX_FIELD(processIssuerS),     BRIX_FIELD(processIssuerL),
    BRIX_FIELD(processIssuerO),     BRIX_FIELD(processIssuerOU),
    BRIX_FIELD(processCompanyName), BRIX_FIELD(processProductName),
    BRIX_FIELD(fileSignerName),     BRIX_FIELD(fileIssuerCN),
    BRIX_FIELD(fileIssuerC),        BRIX_FIELD(fileIssuerS),
    BRIX_FIELD(fileIssuerL),        BRIX_FIELD(fileIssuerO),
    BRIX_FIELD(fileIssuerOU),       BRIX_FIELD(fileCompanyName),
    BRIX_FIELD(fileProductName),    BRIX_FIELD(user),
    BRIX_FIELD(group),              BRIX_FIELD(oldName),
};

#undef BRIX_FIELD

const DigestField kDigestFields[4] = {
    {"fileSha256", &ac_wrapper_event_s::fileSha256, 32},
    {"fileSha1", &ac_wrapper_event_s::fileSha1, 20},
    {"fileMd5", &ac_wrapper_event_s::fileMd5, 16},
    {"processSha256", &ac_wrapper_event_s::processSha256, 32},
};

namespace {

size_t TextIndex(const char* ac_wrapper_event_s::*member) {
  for (size_t i = 0; i < std::size(kTextFields); ++i)
    if (kTextFields[i].member == member) return i;
  abort();  // every text member is in the table
}

}  // namespace

HostEvent::HostEvent() = default;

void HostEvent::SetText(const char* ac_wrapper_event_s::*member,
                        std::string value) {
  texts_[TextIndex(member)] = std::move(value);
}

const std::optional<std::string>& HostEvent::Text(
    const char* ac_wrapper_event_s::*member) const {
  return texts_[TextIndex(member)];
}

void HostEvent::SetDigest(size_t index, const unsigned char* bytes) {
  std::array<unsigned char, 32> value{};
  memcpy(value.data(), bytes, kDigestFields[index].size);
  digests_[index] = value;
}

void HostEvent::SetFileDigests(const FileDigests& digests) {
  SetDigest(0, digests.sha256.data());
  SetDigest(1, digests.sha1.data());
  SetDigest(2, digests.md5.data());
  base_.size = digests.size;
}

ac_wrapper_event_s HostEvent::Record() const {
  ac_wrapper_event_s record = base_;
  for (size_t i = 0; i < texts_.size(); ++i)
    record.*kTextFields[i].member = texts_[i] ? texts_[i]->c_str() : nullptr;
  for (size_t i = 0; i < digests_.size(); ++i)
    record.*kDigestFields[i].member = digests_[i] ? digests_[i]->data() : nullptr;
  return record;
}

bool ResolvePath(const std::string& path, std::string* resolved,
                 std::string* error) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) {
    *error = strerror(errno);
    return false;
  }
  *resolved = buffer;
  return true;
}

bool BuildFileEvent(const FileOperation& operation, HostEvent* event,
                    std::string* error) {
  std::string target;
  if (!ResolvePath(operation.path, &target, error)) return false;
  struct stat st {};
  if (stat(target.c_str(), &st) != 0) {
    *error = strerror(errno);
    return false;
  }
  FileDigests digests;
  if (!HashFile(target, &digests, error)) return false;

  HostEvent built;
  ac_wrapper_event_s& numbers = built.numbers();
  numbers.pid = operation.pid;
  numbers.isexec = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  switch (operation.kind) {
    case FileOperation::Kind::kProgramStart:
      numbers.type = kHostTypeProgramStart;
      numbers.mode = st.st_mode;
      break;
    case FileOperation::Kind::kMapping:
      // For a mapping the mode carries the requested protection.
      numbers.type = kHostTypeMapping;
      numbers.mode = kMappingProtectionExec;
      break;
    case FileOperation::Kind::kScriptOpen:
      numbers.type = kHostTypeScriptOpen;
      numbers.mode = st.st_mode;
      break;
  }
  built.SetFileDigests(digests);
  built.SetText(&ac_wrapper_event_s::name, target);
  if (!operation.processPath.empty())
    built.SetText(&ac_wrapper_event_s::processName, operation.processPath);
  if (!operation.commandLine.empty())
    built.SetText(&ac_wrapper_event_s::cmdLine, operation.commandLine);
  if (!operation.user.empty())
    built.SetText(&ac_wrapper_event_s::user, operation.user);
  if (!operation.group.empty())
    built.SetText(&ac_wrapper_event_s::group, operation.group);
  *event = std::move(built);
  return true;
}

}  // namespace brix_host
