#pragma once
// All platform facilities that the logic reaches, handed to it in one bundle. The owner (the
// program entry, or a test) keeps each facility alive for as long as the logic runs.
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/folder_watch.h"
#include "platform/http_transfer.h"
#include "platform/process.h"
#include "platform/service_host.h"
#include "platform/window.h"
#include "settings/profile_reader.h"

namespace cw {

struct Platform {
  MainWindow& window;
  EventLoop& loop;
  HttpTransfer& http;
  ServiceHost& service;
  FileSystem& files;
  ProfileReader& profile;
  Clock& clock;
  Process& process;
  FolderWatch& watch;
};

}  // namespace cw
