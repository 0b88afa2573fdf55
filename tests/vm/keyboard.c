/* A keyboard for test machines that have no virtual one: made with uinput,
 * it takes one report per line of standard input, as TYPE CODE VALUE triples
 * in decimal, writes them to the kernel as they are with a SYN_REPORT after
 * them, and says "@@SENT" on standard output once the kernel has them. */
#include <errno.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

/* uinput takes records laid out as evdev delivers them. */
_Static_assert(sizeof(struct input_event) == 2 * sizeof(__kernel_ulong_t) + 8,
               "input_event differs from the record the kernel takes");

#define NAME "evsnap-vm keyboard"

static int fail(const char *what) {
  printf("@@ERROR keyboard: %s: %s\n", what, strerror(errno));
  return 1;
}

static int emit(int fd, long type, long code, long value) {
  struct input_event record;
  memset(&record, 0, sizeof record);
  record.type = (__u16)type;
  record.code = (__u16)code;
  record.value = (__s32)value;
  return write(fd, &record, sizeof record) == (ssize_t)sizeof record;
}

int main(void) {
  setvbuf(stdout, NULL, _IOLBF, 0); /* a line reaches the console when it is said */
  const int fd = open("/dev/uinput", O_WRONLY);
  if (fd < 0) {
    return fail("/dev/uinput");
  }
  /* Every keyboard key; MSC_SCAN, which USB keyboards send ahead of a key;
   * EV_REP, so that the input core repeats a held key itself. */
  int ok = ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(fd, UI_SET_EVBIT, EV_MSC) == 0 &&
           ioctl(fd, UI_SET_EVBIT, EV_REP) == 0 && ioctl(fd, UI_SET_MSCBIT, MSC_SCAN) == 0;
  for (int key = KEY_ESC; ok && key < BTN_MISC; ++key) {
    ok = ioctl(fd, UI_SET_KEYBIT, key) == 0;
  }
  struct uinput_setup setup;
  memset(&setup, 0, sizeof setup);
  setup.id.bustype = BUS_VIRTUAL;
  strcpy(setup.name, NAME);
  if (!ok || ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ioctl(fd, UI_DEV_CREATE) != 0) {
    return fail("creating " NAME);
  }

  char line[512];
  while (fgets(line, sizeof line, stdin)) {
    long numbers[48];
    size_t count = 0;
    char *at = line;
    char *end = NULL;
    for (long number = strtol(at, &end, 10); end != at && count < 48;
         number = strtol(at, &end, 10)) {
      numbers[count++] = number;
      at = end;
    }
    if (count % 3 != 0 || at[strspn(at, " \n")] != '\0') {
      errno = EINVAL;
      return fail("a report is TYPE CODE VALUE triples");
    }
    int sent = 1;
    for (size_t i = 0; i < count; i += 3) {
      sent = sent && emit(fd, numbers[i], numbers[i + 1], numbers[i + 2]);
    }
    if (!sent || !emit(fd, EV_SYN, SYN_REPORT, 0)) {
      return fail("writing a report");
    }
    puts("@@SENT");
  }
  return 0;
}
