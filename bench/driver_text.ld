/* Gathers the driver library's code into one range of the benchmark program, between two
   symbols, so that a sample's instruction address tells whether it lies in the driver's code
   (bench/host_cost.h). Added to the linker's default script, before its .text, so that these
   sections match here first. */
SECTIONS
{
  .text.velkor_driver :
  {
    velkor_driver_text_begin = .;
    *libstrovane.a:*(.text .text.*)
    velkor_driver_text_end = .;
  }
}
INSERT BEFORE .text;
