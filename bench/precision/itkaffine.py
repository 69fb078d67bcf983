"""An ITK affine transform (as ANTs and elastix write it) as the project's world matrix."""
import numpy as np


def save_world_matrix(parameters, center, out):
    """Writes FIXED RAS mm -> MOVING RAS mm (four lines of four numbers) to `out`, from the
    twelve parameters (matrix row by row, then translation) and the centre of rotation."""
    p = np.asarray(parameters, dtype=np.float64)
    c = np.asarray(center, dtype=np.float64)
    a, t = p[:9].reshape(3, 3), p[9:12]
    # ITK: fixed LPS point x -> moving LPS point a (x - c) + c + t.
    lps = np.eye(4)
    lps[:3, :3] = a
    lps[:3, 3] = c + t - a @ c
    flip = np.diag([-1.0, -1.0, 1.0, 1.0])
    np.savetxt(out, flip @ lps @ flip, fmt="%.10g")
