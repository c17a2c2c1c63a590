"""A slice of the loop of failing calls (tests/e2e/test_failing_calls.py) run
on the shipped 32-bit installer and its kill-point build: one call failing with
each error, each one that must end the run naming the file concerned.

The calls come before the file held open is reached: under CPU emulation that
file is now and then gone from its folder after the old version is recycled,
hold or not, so the calls after it are not numbered alike from one run to the
next."""
import kit
import killpoints
from test_failing_calls import check_failing_calls, failing_product
from test_interrupted_deferred_update import HeldProduct


class ShippedProduct(HeldProduct):
    killable_stub = killpoints.SHIPPED_SFX
    shipped_stub = kit.SHIPPED_SFX


# kind, call, the end of its path, the error it fails with
SLICE = [
    ("change", "CreateFile", "core.dll.~up", 5),
    ("change", "WriteFile", "app.exe.~up", 112),
    ("read", "CreateFile", "lang.dll", 32),
]


def test_the_shipped_installer_with_one_call_failing(case, capsys):
    for program in (killpoints.SHIPPED_SFX, kit.SHIPPED_SFX):
        assert not kit.is_64bit_program(program), f"{program} is not the 32-bit program"
    product = failing_product(case, ShippedProduct)
    for kind, name, path_end, error in SLICE:
        calls = [call for call in product.calls if call.kind == kind]
        check_failing_calls(product, [killpoints.first_call(calls, name, path_end)], error, capsys)
