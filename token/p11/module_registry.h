#pragma once
#include <functional>
#include <memory>

#include "token/p11/module.h"

namespace qel::p11 {

/// The module of this process; nothing before C_Initialize, after C_Finalize, and in a child
/// process after fork() until it calls C_Initialize itself.
std::shared_ptr<Module> currentModule();

/// C_Initialize: checks the arguments (only the operating system's locking is used, so application
/// mutex callbacks are accepted only with CKF_OS_LOCKING_OK), configures the log file once, and
/// builds the module. No card is touched and no process is started.
CK_RV initializeModule(CK_VOID_PTR args) noexcept;
/// C_Finalize: ends waits in progress and forgets the module (the last call in flight frees it).
CK_RV finalizeModule(CK_VOID_PTR reserved) noexcept;

/// For tests: where the modules built by later C_Initialize calls find their readers (empty:
/// the PC/SC service).
void setReaderServiceFactory(std::function<std::shared_ptr<ReaderService>()> factory);

}  // namespace qel::p11
