import velmora._velmora_rs as m


def test_module_imports():
    assert m.__name__ == "velmora._velmora_rs"
