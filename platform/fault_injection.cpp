// Fault injection for test builds, the same on every platform: counts the
// calls of every operation and system call, and fails the one armed.
#include "fault_injection.h"

#include "platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#define FAULT_NAME(name) #name,
static const char* const operation_names[FAULT_OPERATION_COUNT] = {
    "ANY", FAULT_OPERATIONS(FAULT_NAME) SYSTEM_CALLS(FAULT_NAME)};
#undef FAULT_NAME

static std::atomic<unsigned> calls[FAULT_OPERATION_COUNT];
static std::atomic<int> injected(0);
static int armed_operation = -1;
static unsigned armed_call = 0;
static int hooked_operation = -1;
static unsigned hooked_call = 0;
static void (*hook_action)(void*) = nullptr;
static void* hook_context = nullptr;
static int announce = 0;  // armed from the environment: say so on stderr

// "fault injected: NAME #N", in one write.
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
  std::strcpy(line + at, LINE_END);
  write_error(line);
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
  for (std::atomic<unsigned>& count : calls) count.store(0);
  hooked_operation = -1;
  hook_action = nullptr;
  armed_operation = -1;
  armed_call = 0;
  injected.store(0);
}

void fault_arm(int operation, unsigned nth) {
  fault_disarm();
  armed_operation = operation;
  armed_call = nth;
}

unsigned fault_calls(int operation) {
  return operation >= 0 && operation < FAULT_OPERATION_COUNT ? calls[operation].load(std::memory_order_relaxed) : 0;
}

int fault_injected(void) { return injected.load(std::memory_order_acquire); }

// Workers count their calls in one sequence: each number goes to one call,
// and one fault is injected however the threads meet. FAULT_ANY counts the
// system calls alone.
bool fault_fires(int operation) {
  unsigned nth = calls[operation].fetch_add(1, std::memory_order_relaxed) + 1;
  unsigned any = operation >= FAULT_SYSTEM_CALL ? calls[FAULT_ANY].fetch_add(1, std::memory_order_relaxed) + 1 : 0;
  if (hook_action != nullptr && operation == hooked_operation && nth == hooked_call) hook_action(hook_context);
  if (armed_operation < 0) return false;
  bool hit =
      armed_operation == FAULT_ANY ? any != 0 && any == armed_call : armed_operation == operation && nth == armed_call;
  int none = 0;
  hit = hit && injected.compare_exchange_strong(none, 1, std::memory_order_acq_rel);
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
