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

import time

__all__ = ["Sampler"]


class Sampler:
    """A sinter sampler (sinter.Sampler) that samples with tessaryn_tools and decodes with
    `decoder`: a name from sinter.BUILT_IN_DECODERS ("pymatching" by default) or a sinter.Decoder.
    `threads`: the threads each worker's sampler runs on. Pickles (sinter's workers receive it)."""

    def __init__(self, decoder="pymatching", threads=1):
        import sinter

        # sinter takes its samplers by isinstance; this class exists without importing sinter.
        sinter.Sampler.register(Sampler)
        if isinstance(decoder, str):
            if decoder not in sinter.BUILT_IN_DECODERS:
                known = ", ".join(sorted(sinter.BUILT_IN_DECODERS))
                raise ValueError(f"sinter has no decoder named {decoder!r}; its own are: {known}")
        elif not isinstance(decoder, sinter.Decoder):
            raise TypeError(f"decoder must be a decoder's name or a sinter.Decoder, not {type(decoder).__name__!r}")
        if not isinstance(threads, int) or isinstance(threads, bool) or threads < 1:
            raise ValueError(f"threads must be a positive int, not {threads!r}")
        self.decoder = decoder
        self.threads = threads

    def __repr__(self):
        return f"tessaryn_tools.sinter.Sampler({self.decoder!r}, threads={self.threads})"

    def __reduce__(self):
        return (Sampler, (self.decoder, self.threads))

    def compiled_sampler_for_task(self, task):
        import sinter

        decoder = sinter.BUILT_IN_DECODERS[self.decoder] if isinstance(self.decoder, str) else self.decoder
        return _CompiledSampler(task, decoder, self.threads)


class _CompiledSampler:
    """One task's circuit compiled for sampling and its detector error model for decoding."""

    def __init__(self, task, decoder, threads):
        import numpy as np

        from tessaryn_tools import Circuit

        self._sampler = Circuit(task.circuit).compile_detector_sampler(threads=threads)
        dem = task.detector_error_model
        if dem is None:
            dem = task.circuit.detector_error_model(decompose_errors=True, approximate_disjoint_errors=True)
        try:
            self._decoder = decoder.compile_decoder_for_dem(dem=dem)
        except NotImplementedError:
            raise ValueError(
                f"the decoder {decoder!r} cannot be compiled for a detector error model, which "
                "tessaryn_tools.sinter needs: pick one that can (pymatching, fusion_blossom, ...)"
            ) from None
        self._postselection = None if task.postselection_mask is None else np.asarray(task.postselection_mask)
        masked = task.postselected_observables_mask
        self._postselected_observables = None if masked is None else np.asarray(masked)

    def handles_throttling(self):
        return False

    def sample(self, suggested_shots):
        import numpy as np
        import sinter

        start = time.monotonic()
        shots = max(int(suggested_shots), 1)
        detectors, observables = self._sampler.sample(shots, separate_observables=True, bit_packed=True)
        discards = 0
        if self._postselection is not None:
            kept = ~np.any(detectors & self._postselection, axis=1)
            discards += shots - int(kept.sum())
            detectors, observables = detectors[kept], observables[kept]
        predictions = self._decoder.decode_shots_bit_packed(bit_packed_detection_event_data=detectors)
        mistakes = predictions ^ observables
        if self._postselected_observables is not None:
            flagged = np.any(mistakes & self._postselected_observables, axis=1)
            discards += int(flagged.sum())
            mistakes = mistakes[~flagged]
        errors = int(np.any(mistakes, axis=1).sum())
        return sinter.AnonTaskStats(shots=shots, errors=errors, discards=discards, seconds=time.monotonic() - start)
