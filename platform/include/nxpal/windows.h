// The whole platform layer in one include, in place of <windows.h>.
#pragma once

#include "com.h"
#include "drives.h"
#include "errors.h"
#include "file.h"
#include "guid.h"
#include "memprobe.h"
#include "menu.h"
#include "msgbox.h"
#include "process.h"
#include "registry.h"
#include "resource.h"
#include "shell.h"
#include "sync.h"
#include "text.h"
#include "thread.h"
#include "types.h"
