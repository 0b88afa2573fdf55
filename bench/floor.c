/* The floor a capture is measured against: the least a program can do for it.
 * Opens the device, arms the alarm, reads one record and prints its key code
 * with stdio; no options, no checks beyond the read. Built by bench/run.py,
 * never installed. With -DRESET_ALARM it also resets SIGALRM as evsnap does,
 * to show what that costs. */
#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
  const char *device = argc > 1 ? argv[1] : "/dev/input/event0";
  int fd = open(device, O_RDONLY);
#ifdef RESET_ALARM
  signal(SIGALRM, SIG_DFL);
  sigset_t alarm_only;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarm_only, NULL);
#endif
  alarm(1);
  struct input_event event;
  if (read(fd, &event, sizeof event) != (ssize_t)sizeof event) {
    return 1;
  }
  if (event.value != 0) {
    unsigned long key = event.type == EV_KEY ? 0x80000000UL : 0UL;
    printf("0x%08lx\n", key | (event.type & 0x7fffUL) << 16 | event.code);
  }
  close(fd);
  return 0;
}
