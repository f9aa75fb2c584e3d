#pragma once
// The device I/O framework: the base I/O component, its data processor
// interface, the log, the worker thread, the timer and the device list.
#include "vxclasses_baseio.h"
#include "vxclasses_device.h"
#include "vxclasses_log.h"
#include "vxclasses_notify.h"
#include "vxclasses_processor.h"
#include "vxclasses_stringlist.h"
#include "vxclasses_thread.h"
#include "vxclasses_timer.h"
#include "vxclasses_types.h"
