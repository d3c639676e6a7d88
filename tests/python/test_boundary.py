"""The boundary helpers every entry point shares, driven through the test-only probe module."""

import sys

import pytest


class TestArgumentBinding:
    """The generic binder with signatures the module's own functions will have."""

    @pytest.mark.parametrize("args, kwargs, bound", [
        ((1,), {}, (1, ..., ...)),
        ((1, 2, 3), {}, (1, 2, 3)),
        ((), {"a": 1, "c": 3}, (1, ..., 3)),
        ((1,), {"c": 3, "b": 2}, (1, 2, 3)),
    ])
    def test_binds_by_position_and_keyword(self, probe, args, kwargs, bound):
        """Arguments land in their parameter's slot; unbound ones stay empty."""
        assert probe.bind_one_required(*args, **kwargs) == bound

    @pytest.mark.parametrize("function, args, kwargs, message", [
        ("bind_none_required", (1, 2, 3, 4, 5, 6), {},
         "bind_none_required() takes from 0 to 5 positional arguments but 6 were given"),
        ("bind_one_required", (1, 2, 3, 4), {"zzz": 1},
         "bind_one_required() takes from 1 to 3 positional arguments but 4 were given"),
        ("bind_none_required", (), {"port": 1, "retries": 2},
         "bind_none_required() got an unexpected keyword argument 'retries'"),
        ("bind_none_required", (1, 2), {"reconnect": 3},
         "bind_none_required() got multiple values for argument 'reconnect'"),
        ("bind_one_required", (), {"b": 1},
         "bind_one_required() missing 1 required positional argument: 'a'"),
        ("bind_three_required", (1,), {},
         "bind_three_required() missing 2 required positional arguments: 'y' and 'z'"),
        ("bind_three_required", (), {"w": 1},
         "bind_three_required() missing 3 required positional arguments: 'x', 'y', and 'z'"),
        ("bind_one_required", (), {"\udc80": 1},
         "bind_one_required() got an unexpected keyword argument '\udc80'"),
    ])
    def test_binding_errors(self, probe, function, args, kwargs, message):
        """Each binding failure raises TypeError with its exact text."""
        with pytest.raises(TypeError) as raised:
            getattr(probe, function)(*args, **kwargs)
        assert str(raised.value) == message


class TestConversion:
    """Integer range checks and the "argument '{}': {}" re-wrapping."""

    @pytest.mark.parametrize("value, converted", [(0, 0), (255, 255), (True, 1)])
    def test_accepts_values_in_range(self, probe, value, converted):
        """Values inside the range come back unchanged."""
        assert probe.to_byte(value) == converted

    @pytest.mark.parametrize("value", [-1, 256, 2**40])
    def test_out_of_range_is_overflow_without_prefix(self, probe, value):
        """Out-of-range values raise the fixed OverflowError, not re-wrapped."""
        with pytest.raises(OverflowError) as raised:
            probe.to_byte(value)
        assert str(raised.value) == "out of range integral type conversion attempted"

    def test_type_error_is_rewrapped_with_cause(self, probe):
        """A TypeError gets the parameter name and keeps the original as its cause."""
        with pytest.raises(TypeError) as raised:
            probe.to_byte("5")
        assert str(raised.value) == "argument 'value': 'str' object cannot be interpreted as an integer"
        assert str(raised.value.__cause__) == "'str' object cannot be interpreted as an integer"

    def test_cannot_convert_names_the_type(self, probe):
        """The refusal names the value's type and the target."""
        with pytest.raises(TypeError) as raised:
            probe.refuse(b"")
        assert str(raised.value) == "argument 'value': 'bytes' object cannot be converted to 'Target'"


class TestPanic:
    """C++ exceptions at an entry point become PanicException, never a crash."""

    def test_panic_exception_derives_directly_from_base_exception(self, probe):
        """PanicException is created once and is a direct subclass of BaseException."""
        panic = probe.panic_type()
        assert panic is probe.panic_type()
        assert panic.__bases__ == (BaseException,)
        assert not issubclass(panic, Exception)
        assert panic.__name__ == "PanicException"

    def test_fault_message_becomes_the_argument(self, probe):
        """A std::exception's message is the PanicException's only argument."""
        with pytest.raises(BaseException) as raised:
            probe.panic(0)
        assert type(raised.value) is probe.panic_type()
        assert raised.value.args == ("broken invariant: frame counter went backwards",)

    def test_fault_without_text_gets_a_generic_message(self, probe):
        """A thrown non-exception value still raises PanicException with a message."""
        with pytest.raises(BaseException) as raised:
            probe.panic(1)
        assert type(raised.value) is probe.panic_type()
        assert raised.value.args == ("internal fault without a message",)

    def test_undecodable_message_is_replaced_not_lost(self, probe):
        """Invalid UTF-8 in a fault message is replaced rather than failing."""
        with pytest.raises(BaseException) as raised:
            probe.panic(3)
        assert raised.value.args == ("bytes \ufffd\ufffd are not UTF-8",)

    def test_broken_binding_invariant_is_a_panic(self, probe):
        """Binding into the wrong number of slots is a fault of ours, raised as PanicException."""
        with pytest.raises(BaseException) as raised:
            probe.bind_too_few_slots(1)
        assert type(raised.value) is probe.panic_type()
        assert raised.value.args == ("argument slots do not match the function's parameters",)

    def test_out_of_memory_is_memory_error(self, probe):
        """std::bad_alloc surfaces as MemoryError."""
        with pytest.raises(MemoryError):
            probe.panic(2)

    def test_fault_in_deallocation_is_reported_as_unraisable(self, probe, monkeypatch):
        """Where nothing can be raised, the PanicException goes to sys.unraisablehook."""
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", seen.append)
        context = object()
        assert probe.panic_in_dealloc(0, context) is None
        assert len(seen) == 1
        assert type(seen[0].exc_value) is probe.panic_type()
        assert seen[0].exc_value.args == ("broken invariant: frame counter went backwards",)
        assert seen[0].object is context
