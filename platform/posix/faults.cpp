// Fault injection for test builds: counts the calls of every operation and
// fails the one armed.
#include "posix_internal.h"

#include <unistd.h>
#include <cstdlib>
#include <cstring>

static const char* const operation_names[FAULT_OPERATION_COUNT] = {"Any",
                                                                   "GetFileAttributesA",
                                                                   "SetFileAttributesA",
                                                                   "GetTempPathA",
                                                                   "GetTempFileNameA",
                                                                   "CreateFileA",
                                                                   "GetFileInformationByHandle",
                                                                   "SetFileTime",
                                                                   "SetFilePointer",
                                                                   "SetEndOfFile",
                                                                   "ReadFile",
                                                                   "WriteFile",
                                                                   "CloseHandle",
                                                                   "copy_rest_of_file",
                                                                   "copy_rest_of_file_short",
                                                                   "name_temporary_file",
                                                                   "DeleteFileA",
                                                                   "FindFirstFileA",
                                                                   "FindNextFileA",
                                                                   "temporary_name_taken",
                                                                   "hold_file"};

static unsigned calls[FAULT_OPERATION_COUNT];
static int armed_operation = -1;
static unsigned armed_call = 0;
static int injected = 0;
static int hooked_operation = -1;
static unsigned hooked_call = 0;
static void (*hook_action)(void*) = nullptr;
static void* hook_context = nullptr;
static int announce = 0;  // armed from the environment: say so on stderr

static void announce_fault(int operation, unsigned nth) {
  char line[96] = "fault injected: ";
  std::strcat(line, operation_names[operation]);
  std::strcat(line, " #");
  char digits[12];
  int length = 0;
  do digits[length++] = (char)('0' + nth % 10);
  while ((nth /= 10) != 0);
  size_t at = std::strlen(line);
  while (length > 0) line[at++] = digits[--length];
  line[at++] = '\n';
  if (write(STDERR_FILENO, line, at) < 0) return;
}

const char* fault_operation_name(int operation) {
  return operation >= 0 && operation < FAULT_OPERATION_COUNT ? operation_names[operation] : "?";
}

void fault_hook(int operation, unsigned nth, void (*action)(void*), void* context) {
  hooked_operation = operation;
  hooked_call = nth;
  hook_action = action;
  hook_context = context;
}

void fault_disarm(void) {
  std::memset(calls, 0, sizeof calls);
  hooked_operation = -1;
  hook_action = nullptr;
  armed_operation = -1;
  armed_call = 0;
  injected = 0;
}

void fault_arm(int operation, unsigned nth) {
  fault_disarm();
  armed_operation = operation;
  armed_call = nth;
}

unsigned fault_calls(int operation) {
  return operation >= 0 && operation < FAULT_OPERATION_COUNT ? __atomic_load_n(&calls[operation], __ATOMIC_RELAXED) : 0;
}

int fault_injected(void) { return __atomic_load_n(&injected, __ATOMIC_ACQUIRE); }

void fault_new_run(void) { forget_lease_break_time(); }

// Workers count their calls in one sequence: each number goes to one call,
// and one fault is injected however the threads meet. What is armed is
// set before any worker starts.
bool fault_fires(int operation) {
  unsigned nth = __atomic_add_fetch(&calls[operation], 1, __ATOMIC_RELAXED);
  unsigned any = __atomic_add_fetch(&calls[FAULT_ANY], 1, __ATOMIC_RELAXED);
  if (hook_action != nullptr && operation == hooked_operation && nth == hooked_call) hook_action(hook_context);
  if (armed_operation < 0) return false;
  bool hit = armed_operation == FAULT_ANY ? any == armed_call : armed_operation == operation && nth == armed_call;
  int none = 0;
  hit = hit && __atomic_compare_exchange_n(&injected, &none, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
  if (hit && announce) announce_fault(operation, nth);
  return hit;
}

void fault_arm_from_environment(void) {
  const char* setting = std::getenv("BODYCUT_FAULT");
  if (setting == nullptr || setting[0] == '\0') return;
  announce = 1;
  const char* colon = std::strchr(setting, ':');
  if (colon == nullptr) {
    fault_arm(FAULT_ANY, (unsigned)std::strtoul(setting, nullptr, 10));
    return;
  }
  for (int operation = 0; operation < FAULT_OPERATION_COUNT; ++operation) {
    size_t length = std::strlen(operation_names[operation]);
    if (length == (size_t)(colon - setting) && std::strncmp(setting, operation_names[operation], length) == 0) {
      fault_arm(operation, (unsigned)std::strtoul(colon + 1, nullptr, 10));
      return;
    }
  }
}
