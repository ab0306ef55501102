"""Progress bars for transfers: one per file and a total, drawn on standard error by rich."""


class Bars:
    """Live bars when `enabled`, otherwise a silent stand-in with the same calls."""

    def __init__(self, stream, enabled):
        self._stream = stream
        self._enabled = enabled
        self._progress = None

    def __enter__(self):
        if self._enabled:
            from rich.console import Console
            from rich.progress import (BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn,
                                       TransferSpeedColumn)
            from rich.table import Column

            console = Console(file=self._stream, force_terminal=True)
            # The label takes what the figures leave, so the figures stay whole in 80 columns.
            self._progress = Progress(
                TextColumn("[bold]{task.description}", table_column=Column(ratio=1, no_wrap=True,
                                                                           overflow="ellipsis")),
                BarColumn(bar_width=20),
                DownloadColumn(binary_units=True, table_column=Column(no_wrap=True)),
                TransferSpeedColumn(table_column=Column(no_wrap=True)),
                TimeRemainingColumn(table_column=Column(no_wrap=True)),
                # The commands own standard output (cat writes data there), so rich must not capture it.
                console=console, expand=True, redirect_stdout=False, redirect_stderr=False, refresh_per_second=8,
            )
            self._progress.start()
        return self

    def __exit__(self, *exc):
        if self._progress is not None:
            self._progress.stop()
            self._progress = None
        return False

    def add(self, label, total):
        """A bar for `total` bytes (None while unknown); returns a handle for `callback` and `done`."""
        if self._progress is None:
            return None
        return self._progress.add_task(_shorten(label), total=total)

    def callback(self, handle, total_bar=None, base=0):
        """A transfer callback moving the bar `handle` to the bytes done, and the total bar to `base` plus them."""
        if self._progress is None:
            return None
        progress = self._progress

        def moved(part_index, total_parts, bytes_done, total_bytes):
            progress.update(handle, completed=bytes_done, total=total_bytes if total_bytes >= 0 else None)
            if total_bar is not None:
                progress.update(total_bar, completed=base + bytes_done)

        return moved

    def batch_callback(self, labels, sizes, total_bar):
        """A callback for the batch functions, which report bytes over all items with the index of the item
        that moved them: each item gets a bar while it moves, removed when it is complete; the total bar
        follows the sum. Returns (callback, finish), finish removing what a failed item left."""
        if self._progress is None:
            return None, lambda: None
        progress, shown, moved = self._progress, {}, [0] * len(sizes)
        last = 0

        def callback(item_index, item_count, bytes_done, total_bytes):
            nonlocal last
            moved[item_index] += bytes_done - last
            last = bytes_done
            handle = shown.get(item_index)
            if handle is None and moved[item_index] < sizes[item_index]:
                handle = shown[item_index] = progress.add_task(_shorten(labels[item_index]),
                                                               total=sizes[item_index])
            if handle is not None:
                if moved[item_index] >= sizes[item_index]:
                    progress.remove_task(shown.pop(item_index))
                else:
                    progress.update(handle, completed=moved[item_index])
            if total_bar is not None:
                progress.update(total_bar, completed=bytes_done)

        def finish():
            for handle in shown.values():
                progress.remove_task(handle)
            shown.clear()

        return callback, finish

    def print_above(self, text):
        """Prints a line above the live bars (on their terminal); False when no bars are drawn."""
        if self._progress is None:
            return False
        self._progress.console.print(text, markup=False, highlight=False, soft_wrap=True)
        return True

    def show(self, handle, description, completed):
        """Sets a bar's label and bytes done."""
        if self._progress is not None and handle is not None:
            self._progress.update(handle, description=_shorten(description), completed=completed)

    def remove(self, handle):
        if self._progress is not None and handle is not None:
            self._progress.remove_task(handle)

    def done(self, handle, size):
        """Marks a bar complete at `size` bytes, also where the size was unknown while it ran."""
        if self._progress is not None and handle is not None:
            self._progress.update(handle, total=size, completed=size)


def _shorten(label, width=40):
    return label if len(label) <= width else "…" + label[-(width - 1):]
