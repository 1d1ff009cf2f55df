#include "app/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "converter/converter.h"
#include "mzf/mzf_output.h"

namespace mzfextract {

namespace {

// Where programs are saved, and where their errors are told.
struct Saving {
  mzf::MzfWriter writer;
  std::FILE* errors;
};

// Saves a program the converter has completed. Returns the exit status it implies.
int save_program(void* context, const ProgramView& program) {
  Saving& saving = *static_cast<Saving*>(context);
  const mzf::MzfWriteResult result =
      mzf::mzf_write(saving.writer, program.header, program.body, program.body_length);
  if (result.status == mzf::MZF_WRITTEN) return 0;
  const char* what =
      result.status == mzf::MZF_WRITE_FAILED ? "Nelze zapsat soubor" : "Nelze vytvorit soubor";
  std::fprintf(saving.errors, "%s %s: %s\n", what, result.name.text, std::strerror(result.error));
  return 1;
}

}  // namespace

int convert_recording(int input_fd, int directory_fd, std::FILE* trace, std::FILE* errors) {
  // The converter holds a whole body: one allocation for the run keeps it off the stack.
  const std::unique_ptr<Converter> converter(new (std::nothrow) Converter);
  if (!converter) {
    std::fputs("Nelze alokovat pamet\n", errors);
    return 1;
  }
  converter_init(*converter, trace);

  // Files replace files of the same name, but never the recording itself.
  Saving saving{};
  saving.errors = errors;
  mzf::mzf_writer_init(saving.writer, directory_fd, true);
  struct stat input_status {};
  if (::fstat(input_fd, &input_status) == 0) {
    const mzf::FileIdentity input{input_status.st_dev, input_status.st_ino};
    mzf::mzf_writer_keep(saving.writer, &input);
  }
  const ProgramSink sink{save_program, &saving};

  // One sequential pass, one chunk at a time, straight into the converter's buffer.
  int status = 0;
  int read_error = 0;
  for (;;) {
    const ssize_t count = ::read(input_fd, converter_space(*converter), CONVERTER_CHUNK);
    if (count > 0) {
      status |= converter_take(*converter, static_cast<std::size_t>(count), sink);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) read_error = errno;
    break;
  }
  // At the end of the input, or at a read error, the bytes still held are taken as they are.
  status |= converter_finish(*converter, sink);
  if (read_error != 0) {
    std::fprintf(errors, "Chyba cteni souboru: %s\n", std::strerror(read_error));
    status = 1;
  }
  return status;
}

}  // namespace mzfextract
