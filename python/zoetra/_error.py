"""The exception every failure inside Zoetra is raised as."""


class Error(Exception):
    """A failure reported by Zoetra.

    Attributes:
        number: the error number (53 for a missing picture file, 481 for a
            picture that cannot be read, 5 for a bad argument, ...).
        description: what went wrong, in words.
        source: the part of the system that failed.
    """

    def __init__(self, number, description, source):
        super().__init__(number, description, source)
        self.number = number
        self.description = description
        self.source = source

    def __str__(self):
        return f"{self.description} (error {self.number}, {self.source})"
