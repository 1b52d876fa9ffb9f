"""tessaryn's detector sampler for sinter: sinter.collect samples each task with it and decodes with
any of sinter's decoders.

    import sinter
    import tessaryn_tools.sinter

    stats = sinter.collect(
        num_workers=4,
        tasks=tasks,
        decoders=["tessaryn"],
        custom_decoders={"tessaryn": tessaryn_tools.sinter.Sampler("pymatching")},
        max_shots=1_000_000,
    )

For each task a worker compiles the task's circuit with Circuit.compile_detector_sampler (on one
thread by default: sinter's workers are the parallelism), samples detection events and observable
flips, decodes them with the decoder named (one of sinter.BUILT_IN_DECODERS, or a sinter.Decoder
that can be compiled for a detector error model) and counts errors and discards as sinter's own
sampling does, postselection masks included. Needs sinter and the decoder's package; importing
this module imports neither."""

# Types of tessaryn_tools.sinter. The docstrings repeat the module's own.

from typing import Any

__all__ = ["Sampler"]

class Sampler:
    """A sinter sampler (sinter.Sampler) that samples with tessaryn_tools and decodes with
    `decoder`: a name from sinter.BUILT_IN_DECODERS ("pymatching" by default) or a sinter.Decoder.
    `threads`: the threads each worker's sampler runs on. Pickles (sinter's workers receive it).
    """

    decoder: Any
    threads: int
    def __init__(self, decoder: Any = "pymatching", threads: int = 1) -> None: ...
    def compiled_sampler_for_task(self, task: Any) -> Any: ...
