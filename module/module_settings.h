// module_settings - fills a fresh module instance from the host's settings
//
// read_module_settings(host, instance) asks the host (through instance->callbacks,
// entries 5 and 25) for the load-point directory and the configuration handle and
// fills the instance: rule_file_path = directory, '/', "kelv" (no separator is
// added or removed otherwise); key = the key text derived from the client
// certificate named by "//package[@name='serverPackage']/clientCert", key_type 2
// once that setting was read (else -1); the limits maxHeaderLength (768),
// maxTotalHeadersLength (32768) and maxBackTracks (25000) from the "hdrweights"
// module element, defaults kept when absent or bad.
// Results: 0; 10040 null argument or a null directory from the host (logs 10018);
// 10001 no memory for the path (logged); a clientCert query error (logs 10090,
// returned at once); 21018 clientCert absent (logs 10089) or the key derivation's
// code 10003/10011/10013 (logs 27115), both returned after the limits were read;
// a limit query error (logs 10090, the later limits unread). A bad limit logs
// 10092 at level 4 and keeps the default. A maxBackTracks below
// TLVMOD_FEWEST_USEFUL_BACKTRACKS is kept but logs 10092 at level 3: with it
// rules with a repetition give up on ordinary header lines (29001 at level 4)
// and do not count, which would otherwise go unseen. The instance may be left partly filled
// on failure: the caller frees it with everything it holds.
// Runs on the initialising host thread only.
#ifndef MODULE_MODULE_SETTINGS_H
#define MODULE_MODULE_SETTINGS_H

#include <stdint.h>

#include "module_instance.h"

uint32_t read_module_settings(uintptr_t host, ModuleInstance *instance);

#endif
